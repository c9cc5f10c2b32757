#include <gtest/gtest.h>

#include <vector>

#include "util/qvoblist.h"

namespace
{

int g_items[10];
void* P(int i)
{
    return &g_items[i];
}

// The contents read forwards, after checking that both directions, the ends
// and the count agree.
std::vector<void*> Contents(const CQVObList& list)
{
    std::vector<void*> fwd, back;
    for (POSITION pos = list.GetHeadPosition(); pos;)
        fwd.push_back(list.GetNext(pos));
    for (POSITION pos = list.GetTailPosition(); pos;)
        back.insert(back.begin(), list.GetPrev(pos));
    EXPECT_EQ(fwd, back) << "next and previous links disagree";
    EXPECT_EQ((size_t)list.GetCount(), fwd.size());
    EXPECT_EQ(list.IsEmpty(), fwd.empty());
    EXPECT_EQ(list.GetHeadPosition() == nullptr, list.GetTailPosition() == nullptr);
    if (!fwd.empty()) {
        EXPECT_EQ(list.GetHeadPosition()->pPrev, nullptr);
        EXPECT_EQ(list.GetTailPosition()->pNext, nullptr);
    }
    return fwd;
}

std::vector<void*> V(std::initializer_list<int> idx)
{
    std::vector<void*> v;
    for (int i : idx)
        v.push_back(i < 0 ? nullptr : P(i));
    return v;
}

} // namespace

TEST(ObList, NullPointersAtEitherEnd)
{
    CQVObList list;
    list.AddTail(nullptr);
    EXPECT_TRUE(list.IsEmpty()) << "AddTail skips a null pointer";
    list.AddHead(nullptr);
    EXPECT_EQ(Contents(list), V({-1})) << "AddHead stores it";
    list.Add(nullptr, 7);
    list.Add(P(1), 7);
    EXPECT_EQ(Contents(list), V({-1, 1}));
    list.InsertBefore(nullptr, P(2));
    EXPECT_EQ(Contents(list), V({-1, 1, 2})) << "no position means the tail";
    EXPECT_EQ(list.GetHead(), nullptr);
    EXPECT_EQ(list.GetTail(), P(2));
}

TEST(ObList, EmptyListAnswers)
{
    CQVObList list;
    EXPECT_EQ(list.GetHead(), nullptr);
    EXPECT_EQ(list.GetTail(), nullptr);
    EXPECT_EQ(list.RemoveHead(), nullptr);
    EXPECT_EQ(list.RemoveTail(), nullptr);
    EXPECT_EQ(list.FindIndex(0), nullptr);
    EXPECT_EQ(list.FindIndex(-1), nullptr);
    EXPECT_EQ(list.GetAt(nullptr), nullptr);
    EXPECT_FALSE(list.Contains(P(0)));
    list.Remove(P(0));
    list.RemoveAt(nullptr);
    EXPECT_EQ(Contents(list), V({}));
}

TEST(ObList, FindIndexWalksFromTheNearerEnd)
{
    CQVObList list;
    for (int i = 0; i < 5; i++)
        list.AddTail(P(i));
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(list.GetAt(list.FindIndex(i)), P(i)) << i;
    EXPECT_EQ(list.FindIndex(4), list.GetTailPosition());
    EXPECT_EQ(list.FindIndex(5), nullptr);
    EXPECT_EQ(list.FindIndex(100), nullptr);
    EXPECT_EQ(list.FindIndex(-3), list.GetHeadPosition()) << "a negative index yields the head";

    CQVObList one;
    one.AddTail(P(9));
    EXPECT_EQ(one.FindIndex(0), one.GetHeadPosition());
    EXPECT_EQ(one.FindIndex(1), nullptr);
}

TEST(ObList, RemovalKeepsLinksAndEndsRight)
{
    CQVObList list;
    list.AddTail(P(1));
    EXPECT_EQ(list.RemoveHead(), P(1));
    EXPECT_EQ(Contents(list), V({}));
    EXPECT_EQ(list.GetHeadPosition(), nullptr);

    for (int i : {1, 2, 3, 2, 4})
        list.AddTail(P(i));
    list.Remove(P(2));
    EXPECT_EQ(Contents(list), V({1, 3, 2, 4})) << "only the first holder goes";
    list.RemoveAt(list.Find(P(4)));
    EXPECT_EQ(Contents(list), V({1, 3, 2}));
    EXPECT_EQ(list.RemoveTail(), P(2));
    EXPECT_EQ(list.RemoveHead(), P(1));
    EXPECT_EQ(Contents(list), V({3}));
    list.Remove(P(7));
    EXPECT_EQ(Contents(list), V({3}));
    list.InsertBefore(list.GetHeadPosition(), P(0));
    list.InsertBefore(list.Find(P(3)), P(5));
    EXPECT_EQ(Contents(list), V({0, 5, 3}));
    list.RemoveAll();
    EXPECT_EQ(Contents(list), V({}));
}

TEST(ObList, InsertListAfterFoundNodeOrAtTheEnd)
{
    CQVObList list, other;
    for (int i : {1, 2, 3})
        list.AddTail(P(i));
    other.AddTail(P(7));
    other.AddHead(nullptr);
    other.AddTail(P(8));

    list.InsertListAfter(&other, P(2));
    EXPECT_EQ(Contents(list), V({1, 2, -1, 7, 8, 3}));
    list.InsertListAfter(&other, P(3));
    EXPECT_EQ(Contents(list), V({1, 2, -1, 7, 8, 3, -1, 7, 8})) << "the tail moves with nodes at the end";
    EXPECT_EQ(Contents(other), V({-1, 7, 8})) << "the other list is not changed";

    CQVObList third;
    third.AddTail(P(0));
    third.InsertListAfter(&other, P(9));
    EXPECT_EQ(Contents(third), V({0, 7, 8})) << "not found: appended, nulls skipped";

    list.InsertListAfter(nullptr, P(1));
    EXPECT_EQ(list.GetCount(), 9);
}

TEST(ObList, InsertListIntoItselfEnds)
{
    CQVObList list;
    for (int i : {1, 2})
        list.AddTail(P(i));
    list.InsertListAfter(&list, P(1));
    EXPECT_EQ(Contents(list), V({1, 1, 2, 2}));
    list.InsertListAfter(&list, P(9));
    EXPECT_EQ(Contents(list), V({1, 1, 2, 2, 1, 1, 2, 2}));
}

TEST(ObList, CloneSharesPointersNotNodes)
{
    CQVObList list;
    list.AddHead(nullptr);
    list.AddTail(P(1));
    list.AddTail(P(2));
    CQVObList* copy = list.Clone();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(Contents(*copy), V({-1, 1, 2}));
    EXPECT_NE(copy->GetHeadPosition(), list.GetHeadPosition());
    copy->RemoveAll();
    EXPECT_EQ(Contents(list), V({-1, 1, 2}));
    delete copy;
}

TEST(ObList, DestroyingTheListLeavesObjectsAlive)
{
    struct Counted {
        int* alive;
        ~Counted() { --*alive; }
    };
    int alive = 3;
    Counted* objs[3];
    {
        CQVObList list;
        for (int i = 0; i < 3; i++) {
            objs[i] = new Counted{&alive};
            list.AddTail(objs[i]);
        }
    }
    EXPECT_EQ(alive, 3);
    // The owner's way of emptying a list: take each from the head and delete it.
    CQVObList list;
    for (Counted* c : objs)
        list.AddTail(c);
    while (!list.IsEmpty())
        delete static_cast<Counted*>(list.RemoveHead());
    EXPECT_EQ(alive, 0);
}
