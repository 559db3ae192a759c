// Keyed linked lists, growable string arrays, raw token id lists and the
// stream reader.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxerrno.h"
#include "utils.h"

namespace {

using Strings = std::vector<std::string>;

Strings keys_of(const kx_LinkedList_t *list)
{
    Strings out;
    for (; list; list = list->next)
        out.emplace_back(list->key ? list->key : "<null>");
    return out;
}

// Payload whose release is recorded, so the tests can see what was freed
// and in which order.
struct Payload {
    std::string name;
};

std::vector<std::string> g_released;

void release_payload(void *p)
{
    auto *payload = static_cast<Payload *>(p);
    g_released.push_back(payload->name);
    delete payload;
}

Payload *payload(const std::string &name)
{
    return new Payload{name};
}

// Inserts key with a payload named after it (plus a tag), taking care of
// the key and payload when the list refuses them.
int add(kx_LinkedList_t **list, const char *key, int order, const std::string &tag = "")
{
    char *k = strdup(key);
    Payload *pl = payload(std::string(key) + tag);
    int rc = kx_addNode2List(list, k, pl, order);
    if (rc != 0) {
        std::free(k);
        delete pl;
    }
    return rc;
}

class LinkedList : public ::testing::Test {
protected:
    void SetUp() override { g_released.clear(); }
    void TearDown() override
    {
        kx_freeLinkedList(list, release_payload);
        g_released.clear();
    }
    kx_LinkedList_t *list = nullptr;
};

} // namespace

// ---- kx_LinkedList_t ----------------------------------------------------------

TEST(LinkedListNode, AllocatedNodeIsZeroed)
{
    kx_LinkedList_t *n = kx_allocLinkedListNode();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->key, nullptr);
    EXPECT_EQ(n->node, nullptr);
    EXPECT_EQ(n->next, nullptr);
    kx_freeLinkedListNode(n, nullptr);
}

TEST_F(LinkedList, AscendingOrder)
{
    for (const char *k : {"b", "a", "c"})
        ASSERT_EQ(add(&list, k, 0), 0);
    EXPECT_EQ(keys_of(list), (Strings{"a", "b", "c"}));
}

TEST_F(LinkedList, DescendingOrder)
{
    for (const char *k : {"b", "a", "c"})
        ASSERT_EQ(add(&list, k, 1), 0);
    EXPECT_EQ(keys_of(list), (Strings{"c", "b", "a"}));
}

TEST_F(LinkedList, EqualKeyGoesInFront)
{
    ASSERT_EQ(add(&list, "b", 0, "#1"), 0);
    ASSERT_EQ(add(&list, "a", 0), 0);
    ASSERT_EQ(add(&list, "c", 0), 0);
    ASSERT_EQ(add(&list, "b", 0, "#2"), 0);
    EXPECT_EQ(keys_of(list), (Strings{"a", "b", "b", "c"}));
    EXPECT_EQ(static_cast<Payload *>(list->next->node)->name, "b#2");
    EXPECT_EQ(static_cast<Payload *>(list->next->next->node)->name, "b#1");
}

TEST_F(LinkedList, EqualKeyGoesInFrontDescending)
{
    ASSERT_EQ(add(&list, "b", 1, "#1"), 0);
    ASSERT_EQ(add(&list, "c", 1), 0);
    ASSERT_EQ(add(&list, "a", 1), 0);
    ASSERT_EQ(add(&list, "b", 1, "#2"), 0);
    EXPECT_EQ(keys_of(list), (Strings{"c", "b", "b", "a"}));
    EXPECT_EQ(static_cast<Payload *>(list->next->node)->name, "b#2");
}

TEST_F(LinkedList, ByteOrderComparison)
{
    for (const char *k : {"default.token", "Raw.1", "raw.10", "raw.2", "", "a", "A"})
        ASSERT_EQ(add(&list, k, 0), 0);
    EXPECT_EQ(keys_of(list), (Strings{"", "A", "Raw.1", "a", "default.token", "raw.10", "raw.2"}));
}

TEST_F(LinkedList, ManyKeysStaySorted)
{
    // A fixed pseudo-random sequence with repeats.
    unsigned v = 12345;
    Strings inserted;
    for (int i = 0; i < 200; ++i) {
        v = v * 1103515245u + 12345u;
        std::string key = "k" + std::to_string((v >> 16) % 50);
        inserted.push_back(key);
        ASSERT_EQ(add(&list, key.c_str(), 0), 0);
    }
    Strings keys = keys_of(list);
    ASSERT_EQ(keys.size(), 200u);
    for (size_t i = 1; i < keys.size(); ++i)
        EXPECT_LE(std::strcmp(keys[i - 1].c_str(), keys[i].c_str()), 0) << i;
}

TEST_F(LinkedList, InvalidArgumentsLeaveTheListUnchanged)
{
    ASSERT_EQ(add(&list, "m", 0), 0);
    kx_LinkedList_t *head = list;

    int stack_payload = 0;
    char key[] = "x";
    EXPECT_EQ(kx_addNode2List(&list, nullptr, &stack_payload, 0), KXE_INVAL);
    EXPECT_EQ(kx_addNode2List(&list, key, nullptr, 0), KXE_INVAL);
    EXPECT_EQ(kx_addNode2List(&list, key, &stack_payload, 2), KXE_INVAL);
    EXPECT_EQ(kx_addNode2List(&list, key, &stack_payload, -1), KXE_INVAL);
    EXPECT_EQ(list, head);
    EXPECT_EQ(keys_of(list), (Strings{"m"}));
}

TEST_F(LinkedList, FindReturnsFirstMatchingPayload)
{
    ASSERT_EQ(add(&list, "b", 0, "#1"), 0);
    ASSERT_EQ(add(&list, "a", 0), 0);
    ASSERT_EQ(add(&list, "b", 0, "#2"), 0);

    void *found = nullptr;
    ASSERT_EQ(kx_findLinkedListNode(list, "b", &found), 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(static_cast<Payload *>(found)->name, "b#2");
    ASSERT_EQ(kx_findLinkedListNode(list, "a", &found), 0);
    EXPECT_EQ(static_cast<Payload *>(found)->name, "a");
}

TEST_F(LinkedList, FindAbsentKeyLeavesPayloadPointer)
{
    ASSERT_EQ(add(&list, "a", 0), 0);
    int marker = 0;
    void *found = &marker;
    EXPECT_EQ(kx_findLinkedListNode(list, "z", &found), KXE_NOTFOUND);
    EXPECT_EQ(found, &marker);
    // Keys match whole, not by prefix.
    EXPECT_EQ(kx_findLinkedListNode(list, "", &found), KXE_NOTFOUND);
    ASSERT_EQ(add(&list, "abc", 0), 0);
    EXPECT_EQ(kx_findLinkedListNode(list, "ab", &found), KXE_NOTFOUND);
    EXPECT_EQ(found, &marker);
}

TEST_F(LinkedList, FindWithNullArguments)
{
    void *found = nullptr;
    EXPECT_EQ(kx_findLinkedListNode(nullptr, "a", &found), KXE_INVAL);
    ASSERT_EQ(add(&list, "a", 0), 0);
    EXPECT_EQ(kx_findLinkedListNode(list, nullptr, &found), KXE_INVAL);
    EXPECT_EQ(kx_findLinkedListNode(list, "a", nullptr), KXE_INVAL);
}

TEST_F(LinkedList, FreeReleasesPayloadsInListOrder)
{
    for (const char *k : {"c", "a", "b"})
        ASSERT_EQ(add(&list, k, 0), 0);
    kx_freeLinkedList(list, release_payload);
    list = nullptr;
    EXPECT_EQ(g_released, (Strings{"a", "b", "c"}));
}

TEST_F(LinkedList, FreeWithoutReleaseFunctionKeepsPayloads)
{
    int payloads[3] = {1, 2, 3};
    kx_LinkedList_t *plain = nullptr;
    ASSERT_EQ(kx_addNode2List(&plain, strdup("two"), &payloads[1], 0), 0);
    ASSERT_EQ(kx_addNode2List(&plain, strdup("one"), &payloads[0], 0), 0);
    ASSERT_EQ(kx_addNode2List(&plain, strdup("three"), &payloads[2], 0), 0);
    kx_freeLinkedList(plain, nullptr);
    EXPECT_EQ(payloads[0] + payloads[1] + payloads[2], 6);
    kx_freeLinkedList(nullptr, release_payload);
    EXPECT_TRUE(g_released.empty());
}

TEST_F(LinkedList, FreeSingleNode)
{
    ASSERT_EQ(add(&list, "only", 0), 0);
    kx_freeLinkedListNode(list, release_payload);
    list = nullptr;
    EXPECT_EQ(g_released, (Strings{"only"}));
    kx_freeLinkedListNode(nullptr, release_payload);
    kx_freeLinkedListNode(nullptr, nullptr);
    EXPECT_EQ(g_released.size(), 1u);
}

// ---- growable string array ----------------------------------------------------

TEST(StringArray, FirstEntryMakesTwoSlots)
{
    char **array = nullptr;
    char *s = strdup("first");
    ASSERT_EQ(kx_add_array(&array, s), 0);
    ASSERT_NE(array, nullptr);
    // The string itself is stored, not a copy.
    EXPECT_EQ(array[0], s);
    EXPECT_EQ(array[1], nullptr);
    kx_free_array(array);
}

TEST(StringArray, GrowsInOrder)
{
    char **array = nullptr;
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(kx_add_array(&array, strdup(("s" + std::to_string(i)).c_str())), 0);
    ASSERT_EQ(num_strings(array), 100);
    for (int i = 0; i < 100; ++i)
        EXPECT_STREQ(array[i], ("s" + std::to_string(i)).c_str());
    EXPECT_EQ(array[100], nullptr);
    kx_free_array(array);
}

TEST(StringArray, NullStringIsRefused)
{
    char **array = nullptr;
    EXPECT_EQ(kx_add_array(&array, nullptr), KXE_INVAL);
    EXPECT_EQ(array, nullptr);

    ASSERT_EQ(kx_add_array(&array, strdup("x")), 0);
    char **before = array;
    EXPECT_EQ(kx_add_array(&array, nullptr), KXE_INVAL);
    EXPECT_EQ(array, before);
    EXPECT_EQ(num_strings(array), 1);
    kx_free_array(array);
}

TEST(StringArray, FreeNull)
{
    kx_free_array(nullptr);
}

// ---- RawTokenIDList -----------------------------------------------------------

TEST(RawTokenIdList, KeepsInsertionOrderAndCopies)
{
    RawTokenIDList *list = nullptr;
    char id[] = "MicroPayflex.5001";
    add_to_raw_token_id_list(&list, id);
    add_to_raw_token_id_list(&list, "Payflex.0000001");
    add_to_raw_token_id_list(&list, "aaa");
    // The list keeps its own copy.
    id[0] = 'X';

    Strings ids;
    for (RawTokenIDList *n = list; n; n = n->next)
        ids.emplace_back(n->raw_token_id);
    EXPECT_EQ(ids, (Strings{"MicroPayflex.5001", "Payflex.0000001", "aaa"}));
    EXPECT_NE(list->raw_token_id, id);

    RawTokenIDList *head = list;
    free_raw_token_list(&list);
    // The caller's pointer is left as it was.
    EXPECT_EQ(list, head);
}

TEST(RawTokenIdList, SingleEntryAndEmptyList)
{
    RawTokenIDList *list = nullptr;
    free_raw_token_list(&list);
    EXPECT_EQ(list, nullptr);

    add_to_raw_token_id_list(&list, "");
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->raw_token_id, "");
    EXPECT_EQ(list->next, nullptr);
    free_raw_token_list(&list);
}

// ---- kx_filetobuf -------------------------------------------------------------

namespace {

// Reads content back through kx_filetobuf from a temporary file stream.
std::string via_tmpfile(const std::string &content, bool *was_null = nullptr)
{
    FILE *fp = tmpfile();
    EXPECT_NE(fp, nullptr);
    if (!fp)
        return "";
    if (!content.empty()) {
        EXPECT_EQ(fwrite(content.data(), 1, content.size(), fp), content.size());
    }
    rewind(fp);
    char *buf = kx_filetobuf(fp);
    fclose(fp);
    if (was_null)
        *was_null = buf == nullptr;
    std::string out = buf ? buf : "";
    std::free(buf);
    return out;
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('!' + i % 90);
    return s;
}

} // namespace

TEST(FileToBuf, EmptyStreamGivesEmptyString)
{
    bool was_null = true;
    EXPECT_EQ(via_tmpfile("", &was_null), "");
    EXPECT_FALSE(was_null);
}

TEST(FileToBuf, MemoryStream)
{
    char data[] = "kxCryptoString: mode=hard\n";
    FILE *fp = fmemopen(data, std::strlen(data), "r");
    ASSERT_NE(fp, nullptr);
    char *buf = kx_filetobuf(fp);
    fclose(fp);
    ASSERT_NE(buf, nullptr);
    EXPECT_STREQ(buf, data);
    std::free(buf);
}

TEST(FileToBuf, SizesAroundTheBufferSteps)
{
    // 127 bytes fill the first buffer exactly; the others cross a doubling.
    for (size_t n : {1u, 126u, 127u, 128u, 129u, 254u, 255u, 256u, 383u, 511u, 512u, 1023u}) {
        std::string content = pattern(n);
        EXPECT_EQ(via_tmpfile(content), content) << "n=" << n;
    }
}

TEST(FileToBuf, LargeStream)
{
    std::string content = pattern(1 << 20) + "end";
    std::string got = via_tmpfile(content);
    ASSERT_EQ(got.size(), content.size());
    EXPECT_EQ(got, content);
}

TEST(FileToBuf, ReadsFromTheCurrentPosition)
{
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    fputs("skip|rest of stream", fp);
    fseek(fp, 5, SEEK_SET);
    char *buf = kx_filetobuf(fp);
    fclose(fp);
    ASSERT_NE(buf, nullptr);
    EXPECT_STREQ(buf, "rest of stream");
    std::free(buf);
}
