#include "collections.h"

#include <cassert>
#include <cstddef>

// Handing list_remove or list_next an item of another list, or an unlinked
// one, is a fault. Debug builds prove membership by a walk, which makes a
// whole walk quadratic; other builds check in constant time that the item is
// linked at all.
#ifdef VELMOR_LIST_CHECKS
#define assert_member(l, i) assert(list_contains(l, i))
#else
#define assert_member(l, i) assert((i)->prev != nullptr && (i)->next != nullptr)
#endif

void list_init(list_t* l)
{
    assert(l != nullptr);
    l->head = l;
    l->tail = l;
}

void list_item_init(list_item_t* i)
{
    assert(i != nullptr);
    i->next = nullptr;
    i->prev = nullptr;
}

int list_is_empty(const list_t* l)
{
    assert(l != nullptr);
    return l->head == l ? 1 : 0;
}

void list_append(list_t* l, list_item_t* i)
{
    assert(l != nullptr);
    assert(i != nullptr);
    assert(i->prev == nullptr && i->next == nullptr);
    i->prev = l->tail;
    i->next = l;
    l->tail->next = i;  // the list's own head when it was empty
    l->tail = i;
}

void list_prepend(list_t* l, list_item_t* i)
{
    assert(l != nullptr);
    assert(i != nullptr);
    assert(i->prev == nullptr && i->next == nullptr);
    i->prev = l;
    i->next = l->head;
    l->head->prev = i;  // the list's own tail when it was empty
    l->head = i;
}

list_item_t* list_remove_first(list_t* l)
{
    assert(l != nullptr);
    if (l->head == l)
        return nullptr;
    list_item_t* i = l->head;
    l->head = i->next;
    l->head->prev = l;
    i->next = nullptr;
    i->prev = nullptr;
    return i;
}

list_item_t* list_remove_last(list_t* l)
{
    assert(l != nullptr);
    if (l->tail == l)
        return nullptr;
    list_item_t* i = l->tail;
    l->tail = i->prev;
    l->tail->next = l;
    i->next = nullptr;
    i->prev = nullptr;
    return i;
}

list_item_t* list_remove(list_t* l, list_item_t* i)
{
    assert(l != nullptr);
    assert(i != nullptr);
    assert_member(l, i);
    list_item_t* following = i->next;
    i->next->prev = i->prev;
    i->prev->next = i->next;
    i->next = nullptr;
    i->prev = nullptr;
    return following == l ? nullptr : following;
}

list_item_t* list_first(list_t* l)
{
    assert(l != nullptr);
    return l->head == l ? nullptr : l->head;
}

list_item_t* list_next(list_t* l, list_item_t* i)
{
    assert(l != nullptr);
    assert(i != nullptr);
    assert_member(l, i);
    return i->next == l ? nullptr : i->next;
}

int list_contains(const list_t* l, const list_item_t* i)
{
    assert(l != nullptr);
    if (i == nullptr || i->prev == nullptr)
        return 0;
    for (const list_item_t* p = l->head; p != l; p = p->next) {
        if (p == i)
            return 1;
    }
    return 0;
}
