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
