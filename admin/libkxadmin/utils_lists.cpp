// Lists, arrays and stream buffers: the keyed linked list, the growable
// string array, the raw token id list, and a stream read into memory.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kxerrno.h"
#include "utils.h"

kx_LinkedList_t *kx_allocLinkedListNode(void)
{
    return static_cast<kx_LinkedList_t *>(std::calloc(1, sizeof(kx_LinkedList_t)));
}

int kx_addNode2List(kx_LinkedList_t **list, char *key, void *node, int order)
{
    if (!list || !key || !node || (order != 0 && order != 1))
        return KXE_INVAL;
    kx_LinkedList_t *n = kx_allocLinkedListNode();
    if (!n)
        return KXE_NOMEM;
    n->key = key;
    n->node = node;
    kx_LinkedList_t **link = list;
    while (*link) {
        int cmp = std::strcmp((*link)->key, key);
        if (order == 0 ? cmp >= 0 : cmp <= 0)
            break;
        link = &(*link)->next;
    }
    n->next = *link;
    *link = n;
    return 0;
}

int kx_findLinkedListNode(kx_LinkedList_t *list, const char *key, void **node)
{
    if (!list || !key || !node)
        return KXE_INVAL;
    for (; list; list = list->next)
        if (list->key && std::strcmp(list->key, key) == 0) {
            *node = list->node;
            return 0;
        }
    return KXE_NOTFOUND;
}

void kx_freeLinkedListNode(kx_LinkedList_t *node, void (*release)(void *))
{
    if (!node)
        return;
    std::free(node->key);
    if (release)
        release(node->node);
    std::free(node);
}

void kx_freeLinkedList(kx_LinkedList_t *list, void (*release)(void *))
{
    while (list) {
        kx_LinkedList_t *next = list->next;
        kx_freeLinkedListNode(list, release);
        list = next;
    }
}

int kx_add_array(char ***array, char *s)
{
    if (!array || !s)
        return KXE_INVAL;
    int n = count_args(*array);
    auto **grown =
        static_cast<char **>(std::realloc(*array, (static_cast<size_t>(n) + 2) * sizeof(char *)));
    if (!grown) {
        kx_free_array(*array);
        *array = nullptr;
        return KXE_NOMEM;
    }
    grown[n] = s;
    grown[n + 1] = nullptr;
    *array = grown;
    return 0;
}

void kx_free_array(char **array) { free_args(array); }

void add_to_raw_token_id_list(RawTokenIDList **list, const char *id)
{
    if (!list)
        return;
    auto *node = static_cast<RawTokenIDList *>(safe_malloc(sizeof(RawTokenIDList)));
    node->raw_token_id = safe_strdup(id);
    if (id && !node->raw_token_id) {
        fprintf(stderr, "Could not malloc %d bytes\n", static_cast<int>(std::strlen(id) + 1));
        exit(1);
    }
    node->next = nullptr;
    RawTokenIDList **link = list;
    while (*link)
        link = &(*link)->next;
    *link = node;
}

void free_raw_token_list(RawTokenIDList **list)
{
    if (!list)
        return;
    for (RawTokenIDList *node = *list; node;) {
        RawTokenIDList *next = node->next;
        std::free(node->raw_token_id);
        std::free(node);
        node = next;
    }
}

char *kx_filetobuf(FILE *stream)
{
    if (!stream)
        return nullptr;
    size_t cap = 128;
    size_t len = 0;
    auto *buf = static_cast<char *>(std::malloc(cap));
    if (!buf)
        return nullptr;
    for (;;) {
        size_t want = cap - 1 - len;
        size_t got = fread(buf + len, 1, want, stream);
        len += got;
        if (got < want) {
            buf[len] = '\0';
            return buf;
        }
        auto *grown = static_cast<char *>(std::realloc(buf, cap * 2));
        if (!grown) {
            std::free(buf);
            return nullptr;
        }
        buf = grown;
        cap *= 2;
    }
}
