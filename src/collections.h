// Intrusive circular doubly linked list: the one container of the program.
// A list and an item share one layout; the list is the ring's sentinel.
#pragma once

#include <cstddef>

struct dlink {
    union {
        struct dlink* prev;  // in an item: the preceding element of the ring
        struct dlink* tail;  // in a list: the last item
    };
    union {
        struct dlink* next;  // in an item: the following element of the ring
        struct dlink* head;  // in a list: the first item
    };
};

typedef struct dlink list_t;
typedef struct dlink list_item_t;

void list_init(list_t* l);
void list_item_init(list_item_t* i);
int list_is_empty(const list_t* l);
void list_append(list_t* l, list_item_t* i);
void list_prepend(list_t* l, list_item_t* i);
list_item_t* list_remove_first(list_t* l);
list_item_t* list_remove_last(list_t* l);
list_item_t* list_remove(list_t* l, list_item_t* i);
list_item_t* list_first(list_t* l);
list_item_t* list_next(list_t* l, list_item_t* i);
int list_contains(const list_t* l, const list_item_t* i);

// From a link back to the record that embeds it.
#define list_entry(ptr, type, member) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(ptr) - offsetof(type, member)))

// Every record of the list, first to last, as `var` of type `type*` linked
// through `member`: the one way to walk a list. The body must not unlink
// `var`; a walk that removes items uses list_remove's result instead.
#define list_for_each_entry(var, list, type, member)                                                  \
    for (type* var = list_entry_or_null(list_first(list), type, member); var != nullptr;              \
         var = list_entry_or_null(list_next((list), &var->member), type, member))
#define list_entry_or_null(ptr, type, member)                                                        \
    ([](list_item_t* i_) -> type* { return i_ != nullptr ? list_entry(i_, type, member) : nullptr; }(ptr))
