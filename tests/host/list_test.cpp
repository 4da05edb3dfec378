// The reference list container.
#include <gtest/gtest.h>

#include <vector>

#include "list/link_list.h"

namespace {

int sItems[8];

void* Item(int i) {
    return &sItems[i];
}

// The list's elements in index order, read by Get until NULL as its users do.
std::vector<void*> Contents(LinkList list) {
    std::vector<void*> out;
    for (int i = 0; void* e = Get_LinkList(list, i); ++i) {
        out.push_back(e);
    }
    return out;
}

TEST(LinkListTest, NullListAndOutOfRangeIndexes) {
    EXPECT_EQ(Size_LinkList(nullptr), 0);
    EXPECT_EQ(PushBack_LinkList(nullptr, Item(0)), -1);
    EXPECT_EQ(Get_LinkList(nullptr, 0), nullptr);
    EXPECT_EQ(RemoveByPos_LinkList(nullptr, 0), nullptr);
    Destroy_LinkList(nullptr);

    LinkList list = Init_LinkList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Get_LinkList(list, 0), nullptr);
    EXPECT_EQ(RemoveByPos_LinkList(list, 0), nullptr);
    EXPECT_EQ(PushBack_LinkList(list, nullptr), -1);  // would end a walk early
    ASSERT_EQ(PushBack_LinkList(list, Item(0)), 0);
    ASSERT_EQ(PushBack_LinkList(list, Item(1)), 0);
    for (int bad : {-1, 2, 100}) {
        EXPECT_EQ(Get_LinkList(list, bad), nullptr) << bad;
        EXPECT_EQ(RemoveByPos_LinkList(list, bad), nullptr) << bad;
    }
    EXPECT_EQ(Size_LinkList(list), 2);
    Destroy_LinkList(list);  // still holds nodes: released all the same
}

TEST(LinkListTest, KeepsInsertionOrderAndRemovesAtAnyPosition) {
    LinkList list = Init_LinkList();
    ASSERT_NE(list, nullptr);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(PushBack_LinkList(list, Item(i)), 0);
    }
    EXPECT_EQ(Contents(list),
              (std::vector<void*>{Item(0), Item(1), Item(2), Item(3), Item(4), Item(5)}));
    EXPECT_EQ(Get_LinkList(list, 4), Item(4));  // a read from further on, then back
    EXPECT_EQ(Get_LinkList(list, 1), Item(1));

    EXPECT_EQ(RemoveByPos_LinkList(list, 0), Item(0));  // head
    EXPECT_EQ(RemoveByPos_LinkList(list, 2), Item(3));  // middle
    EXPECT_EQ(RemoveByPos_LinkList(list, 3), Item(5));  // tail
    EXPECT_EQ(Size_LinkList(list), 3);
    EXPECT_EQ(Contents(list), (std::vector<void*>{Item(1), Item(2), Item(4)}));

    ASSERT_EQ(PushBack_LinkList(list, Item(6)), 0);  // the tail moved back correctly
    EXPECT_EQ(Contents(list), (std::vector<void*>{Item(1), Item(2), Item(4), Item(6)}));

    std::vector<void*> drained;  // emptied from index 0 until NULL, as its users do
    while (void* e = RemoveByPos_LinkList(list, 0)) {
        drained.push_back(e);
    }
    EXPECT_EQ(drained, (std::vector<void*>{Item(1), Item(2), Item(4), Item(6)}));
    EXPECT_EQ(Size_LinkList(list), 0);
    ASSERT_EQ(PushBack_LinkList(list, Item(7)), 0);  // usable again once empty
    EXPECT_EQ(Contents(list), (std::vector<void*>{Item(7)}));
    EXPECT_EQ(RemoveByPos_LinkList(list, 0), Item(7));
    Destroy_LinkList(list);
}

}  // namespace
