// Encoding shared by the two status databases: a stored value is its fields,
// each followed by the separator byte, at most KX_DBM_MAXVAL bytes.
#ifndef KX_DBM_CODEC_HPP
#define KX_DBM_CODEC_HPP

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kx_dbm.h"
#include "utils.h"

namespace kx::dbm {

// Joins the fields, each followed by the separator; nothing when a field
// holds the separator itself or the value would not fit.
inline std::optional<std::string> encode(std::initializer_list<std::string_view> fields)
{
    std::string value;
    for (std::string_view f : fields) {
        if (f.find(KX_DBM_SEP) != std::string_view::npos)
            return std::nullopt;
        value.append(f);
        value.push_back(KX_DBM_SEP);
    }
    if (value.size() > KX_DBM_MAXVAL)
        return std::nullopt;
    return value;
}

// Splits a stored value (cut to KX_DBM_MAXVAL bytes) into at most n pieces
// in out[0..n-1]; returns how many the value holds.
inline size_t split(datum value, size_t n, std::string_view *out)
{
    if (!value.dptr || value.dsize <= 0 || n == 0)
        return 0;
    // One pass; the value is read back as a C string: it ends at its first NUL.
    const char *p = value.dptr,
               *end = p + std::min<size_t>(static_cast<size_t>(value.dsize), KX_DBM_MAXVAL);
    const char *start = p;
    size_t i = 0;
    for (; p < end && *p; ++p) {
        if (*p == KX_DBM_SEP) {
            out[i++] = std::string_view(start, static_cast<size_t>(p - start));
            if (i == n)
                return i;
            start = p + 1;
        }
    }
    if (start < p)
        out[i++] = std::string_view(start, static_cast<size_t>(p - start));
    return i;
}

// A piece as a new heap string.
inline char *copy(std::string_view v)
{
    auto *s = static_cast<char *>(safe_malloc(static_cast<int>(v.size() + 1)));
    std::memcpy(s, v.data(), v.size());
    s[v.size()] = '\0';
    return s;
}

// The pieces of a stored value as new heap strings in out; a piece is NULL
// when the value ends before it.
template <size_t N> void decode(datum value, char *(&out)[N])
{
    std::string_view pieces[N];
    size_t found = split(value, N, pieces);
    for (size_t i = 0; i < N; ++i)
        out[i] = i < found ? copy(pieces[i]) : nullptr;
}

// Why a stored value does not decode as a record of the kind given (users:
// the user record, whose third, fourth and sixth fields are numbers);
// nothing when it decodes.
inline std::optional<std::string> undecodable(datum key, datum value, bool users)
{
    if (!value.dptr || value.dsize <= 0)
        return "an empty value";
    std::string_view v(value.dptr, static_cast<size_t>(value.dsize));
    if (v.size() > KX_DBM_MAXVAL)
        return "longer than " + std::to_string(KX_DBM_MAXVAL) + " bytes";
    if (v.find('\0') != std::string_view::npos)
        return "holds a zero byte";
    std::vector<std::string_view> fields;
    for (size_t start = 0, end; (end = v.find(KX_DBM_SEP, start)) != std::string_view::npos;
         start = end + 1)
        fields.push_back(v.substr(start, end - start));
    if (fields.size() != 6 || v.back() != KX_DBM_SEP)
        return std::to_string(fields.size()) + " fields, not 6";
    if (fields[0] != std::string_view(key.dptr, static_cast<size_t>(key.dsize)))
        return "its id is not its key";
    static const char *const numbers[] = {nullptr,  nullptr, "create_time",
                                          "status", nullptr, "last_time"};
    for (size_t i = 0; users && i < 6; ++i) {
        if (!numbers[i])
            continue;
        std::string_view n = fields[i];
        size_t digits = n.substr(0, 1) == "-" ? 1 : 0;
        errno = 0;
        std::string text(n);
        long long number = std::strtoll(text.c_str(), nullptr, 10);
        if (n.size() == digits ||
            n.find_first_not_of("0123456789", digits) != std::string_view::npos ||
            errno == ERANGE || number < INT_MIN || number > INT_MAX)
            return std::string(numbers[i]) + " is not a number";
    }
    return std::nullopt;
}

inline datum as_datum(const std::string &s)
{
    datum d;
    d.dptr = const_cast<char *>(s.data());
    d.dsize = static_cast<int>(s.size());
    return d;
}

inline datum key_datum(const char *id)
{
    datum d;
    d.dptr = const_cast<char *>(id);
    d.dsize = static_cast<int>(std::strlen(id));
    return d;
}

// A growable array of trivially copyable T in anonymous memory of its own,
// outside the heap.  The listings keep their scratch data here so that the
// heap sees only the blocks handed to the caller: a large heap request
// would make the allocator merge the small blocks that a previous listing
// freed and give their pages back, and the next listing would fault every
// page in again.  Running out of memory ends the process, as safe_malloc
// does.
template <typename T> class Scratch {
public:
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch()
    {
        if (data_)
            munmap(data_, bytes_);
    }
    void append(const T *from, size_t n)
    {
        if (size_ + n > bytes_ / sizeof(T))
            grow(size_ + n);
        std::memcpy(data_ + size_, from, n * sizeof(T));
        size_ += n;
    }
    void push_back(const T &v) { append(&v, 1); }
    void reserve(size_t n)
    {
        if (n > bytes_ / sizeof(T))
            grow(n);
    }
    T *begin() { return data_; }
    T *end() { return data_ + size_; }
    T &operator[](size_t i) { return data_[i]; }
    size_t size() const { return size_; }

private:
    void grow(size_t n)
    {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t want = std::max(n * sizeof(T), 2 * bytes_);
        want = (want + page - 1) / page * page;
        void *p =
            data_ ? mremap(data_, bytes_, want, MREMAP_MAYMOVE)
                  : mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            fprintf(stderr, "Could not malloc %zu bytes\n", want);
            exit(1);
        }
        data_ = static_cast<T *>(p);
        bytes_ = want;
    }
    T *data_ = nullptr;
    size_t size_ = 0, bytes_ = 0;
};

// Every record of a database, decoded by fill, in a list in ascending id
// order; records with equal ids keep their key order.  The walk copies the
// values into one arena; they are sorted there by their ids (compared as
// the number that the eight bytes after the prefix all ids share make, and
// whole only where those are equal) and decoded in list order, so that the
// records lie in memory in the order in which they are used and freed.
template <typename Node, typename Record, typename Link>
Node *all_records(DBM *db, Record *(*fill)(datum), Link link)
{
    struct Value {
        uint64_t head;
        std::string_view id;
        size_t offset, size;
    };
    Scratch<char> arena;
    struct stat st {};
    if (fstat(dbm_pagfno(db), &st) == 0)
        arena.reserve(static_cast<size_t>(st.st_size));
    Scratch<Value> values;
    for (datum key = dbm_firstkey(db); key.dptr; key = dbm_nextkey(db)) {
        datum value = dbm_fetch(db, key);
        if (value.dptr && value.dsize > 0) {
            values.push_back({0, {}, arena.size(), static_cast<size_t>(value.dsize)});
            arena.append(value.dptr, static_cast<size_t>(value.dsize));
        }
    }
    size_t shared = std::string_view::npos;
    for (Value &v : values) {
        split(datum{arena.begin() + v.offset, static_cast<int>(v.size)}, 1, &v.id);
        const std::string_view &first = values[0].id;
        size_t n = 0;
        while (n < shared && n < v.id.size() && n < first.size() && v.id[n] == first[n])
            ++n;
        shared = n;
    }
    for (Value &v : values)
        for (size_t i = 0; i < 8; ++i)
            v.head = v.head << 8 |
                     (shared + i < v.id.size() ? static_cast<unsigned char>(v.id[shared + i]) : 0);
    std::sort(values.begin(), values.end(), [](const Value &a, const Value &b) {
        if (a.head != b.head)
            return a.head < b.head;
        int order = a.id.compare(b.id);
        return order != 0 ? order < 0 : a.offset < b.offset;
    });
    // In list order the values are scattered over the arena: ask for each
    // one a few records ahead, so that decoding does not wait on memory.
    constexpr size_t kAhead = 8;
    for (size_t i = 0; i < kAhead && i < values.size(); ++i)
        __builtin_prefetch(arena.begin() + values[i].offset);
    Node *head = nullptr, **tail = &head;
    for (size_t i = 0; i < values.size(); ++i) {
        const Value &v = values[i];
        if (i + kAhead < values.size())
            __builtin_prefetch(arena.begin() + values[i + kAhead].offset);
        auto *node = static_cast<Node *>(safe_malloc(sizeof(Node)));
        link(node, fill(datum{arena.begin() + v.offset, static_cast<int>(v.size)}));
        *tail = node;
        tail = &node->next;
    }
    return head;
}

}  // namespace kx::dbm

#endif
