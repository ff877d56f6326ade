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
        list_init(&l);
        list_init(&other);
        for (int k = 0; k < 5; ++k)
            r[k].id = k, list_item_init(&r[k].link);
    }
    list_item_t* at(int k) { return &r[k].link; }
    bool empty() { return l.head == &l && l.tail == &l && list_is_empty(&l) == 1; }
    // The ids walked with list_first/list_next; walking back through prev
    // from the tail must give the same.
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

TEST_F(List, AppendAndPrependKeepOrder)
{
    list_prepend(&l, at(3));  // into the empty list
    list_append(&l, at(0));
    list_append(&l, at(1));
    list_prepend(&l, at(2));
    EXPECT_EQ((V{2, 3, 0, 1}), ids(&l));
    EXPECT_TRUE(l.head == at(2) && l.tail == at(1) && list_is_empty(&l) == 0);
}

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
    list_append(&other, at(0));  // at once free for another list
    EXPECT_EQ(V{0}, ids(&other));
}

// Each removal of the only item leaves an empty list, on which the removals
// and list_first give null and change nothing.
TEST_F(List, RemovingTheOnlyItemEmptiesTheListEachWay)
{
    list_append(&l, at(0));
    EXPECT_EQ(nullptr, list_remove(&l, at(0)));
    EXPECT_TRUE(empty());
    list_append(&l, at(0));
    EXPECT_EQ(at(0), list_remove_first(&l));
    EXPECT_TRUE(empty());
    list_append(&l, at(0));
    EXPECT_EQ(at(0), list_remove_last(&l));
    EXPECT_TRUE(empty());
    EXPECT_TRUE(list_first(&l) == nullptr && list_remove_first(&l) == nullptr && list_remove_last(&l) == nullptr);
    EXPECT_TRUE(empty());
}

TEST_F(List, WalkThatRemovesGoesOnWithTheFollower)
{
    for (int k = 0; k < 5; ++k)
        list_append(&l, at(k));
    for (list_item_t* i = list_first(&l); i != nullptr;)
        i = list_entry(i, Rec, link)->id % 2 == 0 ? list_remove(&l, i) : list_next(&l, i);
    EXPECT_EQ((V{1, 3}), ids(&l));
}

TEST_F(List, ContainsOnlyItsOwnItems)
{
    list_append(&l, at(0));
    list_append(&other, at(1));
    EXPECT_EQ(1, list_contains(&l, at(0)));
    EXPECT_EQ(0, list_contains(&l, at(1)));  // in another list
    EXPECT_EQ(0, list_contains(&l, at(2)));  // in no list
    EXPECT_EQ(0, list_contains(&l, nullptr));
    EXPECT_EQ(0, list_contains(&l, &l));
}

// An item handed to the wrong list stops the process instead of corrupting
// two rings; so does a missing list or item.
TEST_F(ListDeathTest, MisuseEndsTheProcess)
{
    list_append(&l, at(0));
    list_append(&other, at(1));
    EXPECT_DEATH(list_append(&l, at(0)), "i->prev == nullptr");  // same list
    EXPECT_DEATH(list_append(&l, at(1)), "i->prev == nullptr");
    EXPECT_DEATH(list_prepend(&l, at(1)), "i->prev == nullptr");
    EXPECT_DEATH(list_remove(&l, at(1)), "list_contains");
    EXPECT_DEATH(list_remove(&l, at(2)), "list_contains");
    EXPECT_DEATH(list_next(&l, at(1)), "list_contains");
    EXPECT_DEATH(list_init(nullptr), "l != nullptr");
    EXPECT_DEATH(list_item_init(nullptr), "i != nullptr");
    EXPECT_DEATH(list_append(nullptr, at(2)), "l != nullptr");
    EXPECT_DEATH(list_append(&l, nullptr), "i != nullptr");
    EXPECT_DEATH(list_first(nullptr), "l != nullptr");
    EXPECT_DEATH(list_remove_first(nullptr), "l != nullptr");
    EXPECT_DEATH(list_remove_last(nullptr), "l != nullptr");
    EXPECT_DEATH(list_is_empty(nullptr), "l != nullptr");
    EXPECT_DEATH(list_contains(nullptr, at(0)), "l != nullptr");
}

}  // namespace
