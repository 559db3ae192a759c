/*
 * utils.h - text, list and diagnostic helpers of the administration
 * library, shared with the kxcrypto tool and the product's other programs.
 *
 * Unless a comment says otherwise, every returned string is a new heap
 * string that the caller frees.
 */
#ifndef KX_UTILS_H
#define KX_UTILS_H

/*
 * The C library declares its own dprintf(int fd, ...) in <stdio.h>.  Our
 * dprintf(format, ...) writes to the system log instead; its link name is
 * kxadmin_dprintf so that it never replaces the C library's function for
 * other code in the process.  <stdio.h> is included first so that a later
 * include cannot redeclare the name.
 */
#include <stdio.h>
#include <time.h>
#ifdef dprintf
#undef dprintf
#endif
#define dprintf kxadmin_dprintf

#ifdef __cplusplus
extern "C" {
#endif
/* The library exports what its headers declare, and nothing else: it is
   built with hidden visibility. */
#pragma GCC visibility push(default)

#if defined(__GNUC__) || defined(__clang__)
#define KX_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KX_PRINTF_LIKE(fmt, args)
#endif

/* ---- Debug output and administrative log ---------------------------- */

void dprintf(const char *format, ...) KX_PRINTF_LIKE(1, 2);
void dlprintf(const char *category, const char *format, ...) KX_PRINTF_LIKE(2, 3);
void log_admin(const char *category, const char *format, ...) KX_PRINTF_LIKE(2, 3);
int gdebug(const char *category);
void set_gdebug(const char *selector);
void set_suppress_output(int flag);
const char *p(const char *s);
const char *p2(const char *s);
char *indent_spaces(int level); /* static buffer, not to be freed */

/* ---- Argument and key/value text handling ------------------------------ */

#define KX_MAX_LINES 1000 /* capacity of a line array, NULL excluded */
#define KX_LINE_PIECE 255 /* longest piece a line array holds */

char **parse_args(const char *text, char separator);
int count_args(char **array);
void free_args(char **array);
char **kx_alloc_args_storage(int n, int size);
int parse_key_and_value(const char *line, char **key, char **value);
int make_fields(char *line, char **fields);
int key_index_of(char **array, int count, const char *key);
int same_keyValue(char **array, const char *key, const char *value);
int merge_keyValue_arrays(char ***dest, char **src);
int index_of(char **lines, int count, const char *key);
char *get_value(char **lines, int count, const char *key);
int replace_line(char **lines, int count, const char *key, const char *value);
int append_line(char **lines, int *count, const char *key, const char *value);
int file_to_array(const char *path, char **lines);
int array_to_file(const char *path, char **lines, int count);
void free_string_array(char **lines, int count);

/* ---- String and memory helpers ----------------------------------------- */

void *safe_calloc(int count, int size);
void *safe_malloc(int size);
char *safe_strdup(const char *s);
int safe_strcmp(const char *a, const char *b);
char *itos(int n);
int num_strings(char **array);
char *strip_leading_and_trailing_whitespace(const char *s);
char *strip_leading_and_trailing_quotes(const char *s);
int is_numeric(const char *s);
int is_substring(const char *s, const char *part);
char *escape(const char *s, char c);
char *scramble_text(const char *s);
char *kx_safe_str(const char *s);
char *time_field_to_time_string(time_t t);
char *time_field_to_time_string_i18n(time_t t);
char *kx_normalize_CID(const char *cid, char *out, int size, char **errtext);
int kx_validate_multihead_group_name(const char *name, char **errtext);

/* ---- Lists, arrays and stream buffers ---------------------------------- */

typedef struct kx_LinkedList_t {
    char *key;
    void *node;
    struct kx_LinkedList_t *next;
} kx_LinkedList_t;

typedef struct RawTokenIDList {
    char *raw_token_id;
    struct RawTokenIDList *next;
} RawTokenIDList;

kx_LinkedList_t *kx_allocLinkedListNode(void);
int kx_addNode2List(kx_LinkedList_t **list, char *key, void *node, int order);
int kx_findLinkedListNode(kx_LinkedList_t *list, const char *key, void **node);
void kx_freeLinkedListNode(kx_LinkedList_t *node, void (*release)(void *));
void kx_freeLinkedList(kx_LinkedList_t *list, void (*release)(void *));
int kx_add_array(char ***array, char *s);
void kx_free_array(char **array);
void add_to_raw_token_id_list(RawTokenIDList **list, const char *id);
void free_raw_token_list(RawTokenIDList **list);
char *kx_filetobuf(FILE *stream);

/* ---- Local policy, package root and environment -------------------------- */

char *get_local_policy(void);
int pseudo_allowed(void);
char *get_package_root(const char *package);
void set_env_var(const char *name, const char *value);
char *get_env_var(const char *name); /* the environment's own string */

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* KX_UTILS_H */
