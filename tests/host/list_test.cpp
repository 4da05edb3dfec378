// The reference list container.
#include <gtest/gtest.h>

#include <vector>

#include "list/link_list.h"

namespace {

int sItems[8];

// The elements in index order, read by Get until NULL as its users do.
std::vector<void*> Contents(LinkList list) {
    std::vector<void*> out;
    for (int i = 0; void* e = Get_LinkList(list, i); ++i) out.push_back(e);
    return out;
}

TEST(LinkListTest, KeepsInsertionOrderAndRemovesAtAnyPosition) {
    EXPECT_EQ(Size_LinkList(nullptr), 0);
    EXPECT_EQ(PushBack_LinkList(nullptr, &sItems[0]), -1);
    EXPECT_EQ(Get_LinkList(nullptr, 0), nullptr);
    EXPECT_EQ(RemoveByPos_LinkList(nullptr, 0), nullptr);
    Destroy_LinkList(nullptr);
    LinkList list = Init_LinkList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(PushBack_LinkList(list, nullptr), -1);  // would end a walk early
    for (int i = 0; i < 6; ++i) ASSERT_EQ(PushBack_LinkList(list, &sItems[i]), 0);
    EXPECT_EQ(Get_LinkList(list, 4), &sItems[4]);  // a read from further on, then back
    EXPECT_EQ(Get_LinkList(list, 1), &sItems[1]);
    for (int bad : {-1, 6}) {
        EXPECT_EQ(Get_LinkList(list, bad), nullptr);
        EXPECT_EQ(RemoveByPos_LinkList(list, bad), nullptr);
    }
    EXPECT_EQ(RemoveByPos_LinkList(list, 0), &sItems[0]);  // head
    EXPECT_EQ(RemoveByPos_LinkList(list, 2), &sItems[3]);  // middle
    EXPECT_EQ(RemoveByPos_LinkList(list, 3), &sItems[5]);  // tail
    ASSERT_EQ(PushBack_LinkList(list, &sItems[6]), 0);     // after the new tail
    EXPECT_EQ(Size_LinkList(list), 4);
    EXPECT_EQ(Contents(list), (std::vector<void*>{&sItems[1], &sItems[2], &sItems[4], &sItems[6]}));
    while (RemoveByPos_LinkList(list, 0) != nullptr) {
    }
    EXPECT_EQ(Size_LinkList(list), 0);
    ASSERT_EQ(PushBack_LinkList(list, &sItems[7]), 0);  // usable again once empty
    EXPECT_EQ(Contents(list), std::vector<void*>{&sItems[7]});
    Destroy_LinkList(list);  // still holds a node: released all the same
}

}  // namespace
