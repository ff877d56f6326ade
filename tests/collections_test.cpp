#include <gtest/gtest.h>

#include <vector>

#include "collections.h"

namespace {

struct Rec {
    int id;
    list_item_t link;
};

std::vector<int> walk(list_t* l)
{
    std::vector<int> ids;
    for (list_item_t* i = list_first(l); i != nullptr; i = list_next(l, i))
        ids.push_back(list_entry(i, Rec, link)->id);
    return ids;
}

// Checks the ring both ways: every prev is the mirror of a next.
void expect_ring(list_t* l, const std::vector<int>& ids)
{
    EXPECT_EQ(ids, walk(l));
    std::vector<int> back;
    for (list_item_t* i = l->tail; i != l; i = i->prev)
        back.insert(back.begin(), list_entry(i, Rec, link)->id);
    EXPECT_EQ(ids, back);
    EXPECT_EQ(ids.empty() ? 1 : 0, list_is_empty(l));
}

class ListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        list_init(&l);
        for (int k = 0; k < 5; ++k) {
            r[k].id = k;
            list_item_init(&r[k].link);
        }
    }
    list_t l;
    Rec r[5];
};

TEST_F(ListTest, EmptyListOperationsReturnNullAndChangeNothing)
{
    EXPECT_EQ(&l, l.head);
    EXPECT_EQ(&l, l.tail);
    EXPECT_EQ(nullptr, list_first(&l));
    EXPECT_EQ(nullptr, list_remove_first(&l));
    EXPECT_EQ(nullptr, list_remove_last(&l));
    EXPECT_EQ(&l, l.head);
    EXPECT_EQ(&l, l.tail);
    EXPECT_EQ(1, list_is_empty(&l));
}

TEST_F(ListTest, AppendAndPrependKeepOrderHeadAndTail)
{
    list_append(&l, &r[0].link);
    list_append(&l, &r[1].link);
    list_append(&l, &r[2].link);
    list_prepend(&l, &r[3].link);
    expect_ring(&l, {3, 0, 1, 2});
    EXPECT_EQ(&r[3].link, l.head);
    EXPECT_EQ(&r[2].link, l.tail);
    EXPECT_EQ(&l, r[3].link.prev);
    EXPECT_EQ(&l, r[2].link.next);
}

TEST_F(ListTest, PrependIntoEmptyList)
{
    list_prepend(&l, &r[0].link);
    expect_ring(&l, {0});
    EXPECT_EQ(&r[0].link, l.tail);
}

TEST_F(ListTest, RemovalsClearLinksAndReturnFollower)
{
    for (int k = 0; k < 5; ++k)
        list_append(&l, &r[k].link);

    EXPECT_EQ(&r[3].link, list_remove(&l, &r[2].link));
    EXPECT_EQ(nullptr, r[2].link.next);
    EXPECT_EQ(nullptr, r[2].link.prev);
    expect_ring(&l, {0, 1, 3, 4});

    EXPECT_EQ(nullptr, list_remove(&l, &r[4].link));  // the last item
    expect_ring(&l, {0, 1, 3});

    EXPECT_EQ(&r[0].link, list_remove_first(&l));
    EXPECT_EQ(nullptr, r[0].link.next);
    EXPECT_EQ(nullptr, r[0].link.prev);
    EXPECT_EQ(&r[3].link, list_remove_last(&l));
    EXPECT_EQ(nullptr, r[3].link.next);
    EXPECT_EQ(nullptr, r[3].link.prev);
    expect_ring(&l, {1});

    // A removed item can at once go into the same or another list.
    list_t other;
    list_init(&other);
    list_append(&other, &r[0].link);
    list_append(&l, &r[3].link);
    expect_ring(&l, {1, 3});
    expect_ring(&other, {0});
}

TEST_F(ListTest, RemovingTheOnlyItemEmptiesTheListEachWay)
{
    list_append(&l, &r[0].link);
    EXPECT_EQ(nullptr, list_remove(&l, &r[0].link));
    expect_ring(&l, {});
    list_append(&l, &r[0].link);
    EXPECT_EQ(&r[0].link, list_remove_first(&l));
    expect_ring(&l, {});
    list_append(&l, &r[0].link);
    EXPECT_EQ(&r[0].link, list_remove_last(&l));
    expect_ring(&l, {});
    EXPECT_EQ(&l, l.head);
    EXPECT_EQ(&l, l.tail);
}

TEST_F(ListTest, WalkThatRemovesContinuesWithFollower)
{
    for (int k = 0; k < 5; ++k)
        list_append(&l, &r[k].link);
    list_item_t* i = list_first(&l);
    while (i != nullptr) {
        if (list_entry(i, Rec, link)->id % 2 == 0)
            i = list_remove(&l, i);
        else
            i = list_next(&l, i);
    }
    expect_ring(&l, {1, 3});
}

TEST_F(ListTest, Contains)
{
    list_t other;
    list_init(&other);
    list_append(&l, &r[0].link);
    list_append(&other, &r[1].link);
    EXPECT_EQ(1, list_contains(&l, &r[0].link));
    EXPECT_EQ(0, list_contains(&l, &r[1].link));  // in another list
    EXPECT_EQ(0, list_contains(&l, &r[2].link));  // in no list
    EXPECT_EQ(0, list_contains(&l, nullptr));
    EXPECT_EQ(0, list_contains(&l, &l));          // the list is not its own item
}

using ListDeathTest = ListTest;

TEST_F(ListDeathTest, PreconditionsEndTheProcess)
{
    list_t other;
    list_init(&other);
    list_append(&l, &r[0].link);
    list_append(&other, &r[1].link);

    EXPECT_DEATH(list_append(&l, &r[0].link), "i->prev == nullptr");   // same list
    EXPECT_DEATH(list_append(&l, &r[1].link), "i->prev == nullptr");   // other list
    EXPECT_DEATH(list_prepend(&l, &r[1].link), "i->prev == nullptr");
    EXPECT_DEATH(list_remove(&l, &r[1].link), "list_contains");
    EXPECT_DEATH(list_remove(&l, &r[2].link), "list_contains");
    EXPECT_DEATH(list_next(&l, &r[1].link), "list_contains");
    EXPECT_DEATH(list_init(nullptr), "l != nullptr");
    EXPECT_DEATH(list_item_init(nullptr), "i != nullptr");
    EXPECT_DEATH(list_append(nullptr, &r[2].link), "l != nullptr");
    EXPECT_DEATH(list_append(&l, nullptr), "i != nullptr");
    EXPECT_DEATH(list_first(nullptr), "l != nullptr");
    EXPECT_DEATH(list_remove_first(nullptr), "l != nullptr");
    EXPECT_DEATH(list_remove_last(nullptr), "l != nullptr");
    EXPECT_DEATH(list_is_empty(nullptr), "l != nullptr");
    EXPECT_DEATH(list_contains(nullptr, &r[0].link), "l != nullptr");
}

}  // namespace
