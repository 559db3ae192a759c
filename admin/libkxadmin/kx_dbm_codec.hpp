// Encoding shared by the two status databases: a stored value is its fields,
// each followed by the separator byte, at most KX_DBM_MAXVAL bytes.
#ifndef KX_DBM_CODEC_HPP
#define KX_DBM_CODEC_HPP

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
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

// Splits a stored value (cut to KX_DBM_MAXVAL bytes) into at most n pieces,
// each a new heap string in out[0..n-1]; a piece is NULL when the value ends
// before it.
inline void decode(datum value, size_t n, char **out)
{
    for (size_t i = 0; i < n; ++i)
        out[i] = nullptr;
    if (!value.dptr || value.dsize <= 0)
        return;
    std::string_view text(value.dptr, std::min<size_t>(static_cast<size_t>(value.dsize), KX_DBM_MAXVAL));
    // The value is read back as a C string: it ends at its first NUL.
    text = text.substr(0, text.find('\0'));
    size_t pos = 0;
    for (size_t i = 0; i < n && pos < text.size(); ++i) {
        size_t end = text.find(KX_DBM_SEP, pos);
        if (end == std::string_view::npos)
            end = text.size();
        size_t len = end - pos;
        out[i] = static_cast<char *>(safe_malloc(static_cast<int>(len + 1)));
        std::memcpy(out[i], text.data() + pos, len);
        out[i][len] = '\0';
        pos = end + 1;
    }
}

// Opens an existing database, read-only for anonymous sessions.  Both files
// must be there: the library never creates a database, nor the .dir half
// that gdbm would otherwise make anew.
inline DBM *open_existing(char *path, int mode)
{
    if (!path)
        return nullptr;
    std::string base(path);
    if (access((base + ".pag").c_str(), F_OK) != 0 || access((base + ".dir").c_str(), F_OK) != 0)
        return nullptr;
    return dbm_open(path, mode == 1 ? O_RDONLY : O_RDWR, 0664);
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

// Builds a list in ascending id order from records in key order; records
// with equal ids keep the order in which they came.
template <typename Node, typename Record, typename Link>
Node *sorted_list(std::vector<Record *> &records, Link link)
{
    std::stable_sort(records.begin(), records.end(), [](const Record *a, const Record *b) {
        return std::strcmp(a->id ? a->id : "", b->id ? b->id : "") < 0;
    });
    Node *head = nullptr;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        auto *node = static_cast<Node *>(safe_malloc(sizeof(Node)));
        link(node, *it);
        node->next = head;
        head = node;
    }
    return head;
}

} // namespace kx::dbm

#endif
