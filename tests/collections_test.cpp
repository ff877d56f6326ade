#include <gtest/gtest.h>

#include <vector>

#include "collections.h"

namespace {

struct Rec {
    int id;
    list_item_t link;
};
using V = std::vector<int>;

// Two lists and five unlinked records 0..4.
struct List : testing::Test {
    list_t l, other;
    Rec r[5];
    List()
    {
        list_init(&l), list_init(&other);
        for (int k = 0; k < 5; ++k)
            r[k].id = k, list_item_init(&r[k].link);
    }
    list_item_t* at(int k) { return &r[k].link; }
    // The ids walked forward; walking back from the tail must give the same.
    V ids(list_t* x)
    {
        V fwd, back;
        for (list_item_t* i = list_first(x); i != nullptr; i = list_next(x, i))
            fwd.push_back(list_entry(i, Rec, link)->id);
        for (list_item_t* i = x->tail; i != x; i = i->prev)
            back.insert(back.begin(), list_entry(i, Rec, link)->id);
        EXPECT_EQ(fwd, back);
        return fwd;
    }
};
using ListDeathTest = List;

TEST_F(List, AppendAndPrependKeepOrderAndContainOnlyTheirItems)
{
    list_prepend(&l, at(3));  // into the empty list
    list_append(&l, at(0)), list_append(&l, at(1)), list_prepend(&l, at(2)), list_append(&other, at(4));
    EXPECT_EQ((V{2, 3, 0, 1}), ids(&l));
    EXPECT_EQ(0, list_is_empty(&l));
    EXPECT_EQ((V{1, 0, 0, 0}), (V{list_contains(&l, at(0)), list_contains(&l, at(4)), list_contains(&l, nullptr),
                                 list_contains(&l, &l)}));
}

// A removed item is unlinked (free for another list); list_remove returns its
// follower, so that a walk can go on.
TEST_F(List, RemovalsUnlinkAndReturnTheFollower)
{
    for (int k = 0; k < 5; ++k)
        list_append(&l, at(k));
    EXPECT_EQ(at(3), list_remove(&l, at(2)));
    EXPECT_EQ(nullptr, list_remove(&l, at(4)));  // the last item
    EXPECT_EQ(at(0), list_remove_first(&l));
    EXPECT_EQ(at(3), list_remove_last(&l));
    EXPECT_EQ(V{1}, ids(&l));
    for (int k : {0, 2, 3, 4})
        EXPECT_TRUE(r[k].link.prev == nullptr && r[k].link.next == nullptr) << k;
}

// Removing the only item, each way, empties the list; then the removals and
// list_first give null.
TEST_F(List, RemovingTheOnlyItemEmptiesTheList)
{
    using remover = list_item_t* (*)(list_t*);
    for (remover rm : {remover([](list_t* x) { return list_remove(x, x->head); }), remover(list_remove_first),
                       remover(list_remove_last)}) {
        list_append(&l, at(0));
        rm(&l);
        EXPECT_TRUE(l.head == &l && l.tail == &l && list_is_empty(&l) == 1);
    }
    EXPECT_TRUE(list_first(&l) == nullptr && list_remove_first(&l) == nullptr && list_remove_last(&l) == nullptr);
}

// An item handed to the wrong list stops the process instead of corrupting
// two rings.
TEST_F(ListDeathTest, ForeignItemsEndTheProcess)
{
    list_append(&l, at(0)), list_append(&other, at(1));
    EXPECT_DEATH(list_append(&l, at(1)), "");
    EXPECT_DEATH(list_prepend(&l, at(1)), "");
#ifdef VELMOR_LIST_CHECKS  // membership is walked only in debug builds
    EXPECT_DEATH(list_remove(&l, at(1)), "");
    EXPECT_DEATH(list_next(&l, at(1)), "");
#endif
}

}  // namespace
