// Host list container: a singly linked list with a tail pointer (PushBack in O(1)) and a
// read cursor, so that walking it by index from 0, as its users do, costs O(n) in all.
#include "list/link_list.h"

#include <climits>
#include <new>

namespace {

struct Node {
    void* data;
    Node* next;
};

struct List {
    Node* head = nullptr;
    Node* tail = nullptr;
    int size = 0;
    // The node last reached by Get; reset by every removal.
    Node* cursor = nullptr;
    int cursorIndex = 0;
};

List* AsList(LinkList list) {
    return static_cast<List*>(list);
}

bool InRange(const List* l, int index) {
    return index >= 0 && index < l->size;
}

// The node at index, starting from the cursor when it lies on the way.
Node* NodeAt(List* l, int index) {
    Node* node = l->head;
    int at = 0;
    if (l->cursor != nullptr && l->cursorIndex <= index) {
        node = l->cursor;
        at = l->cursorIndex;
    }
    for (; at < index; ++at) {
        node = node->next;
    }
    l->cursor = node;
    l->cursorIndex = index;
    return node;
}

}  // namespace

extern "C" {

LinkList Init_LinkList(void) {
    return new (std::nothrow) List();
}

// A NULL element is refused: its users walk a list until Get returns NULL.
int PushBack_LinkList(LinkList list, void* data) {
    List* l = AsList(list);
    if (l == nullptr || data == nullptr || l->size == INT_MAX) {
        return -1;
    }
    auto* node = new (std::nothrow) Node{data, nullptr};
    if (node == nullptr) {
        return -1;
    }
    if (l->tail != nullptr) {
        l->tail->next = node;
    } else {
        l->head = node;
    }
    l->tail = node;
    ++l->size;
    return 0;
}

int Size_LinkList(LinkList list) {
    return list != nullptr ? AsList(list)->size : 0;
}

void* Get_LinkList(LinkList list, int index) {
    List* l = AsList(list);
    if (l == nullptr || !InRange(l, index)) {
        return nullptr;
    }
    return NodeAt(l, index)->data;
}

void* RemoveByPos_LinkList(LinkList list, int index) {
    List* l = AsList(list);
    if (l == nullptr || !InRange(l, index)) {
        return nullptr;
    }
    Node* prev = index > 0 ? NodeAt(l, index - 1) : nullptr;
    Node* node = prev != nullptr ? prev->next : l->head;
    if (prev != nullptr) {
        prev->next = node->next;
    } else {
        l->head = node->next;
    }
    if (l->tail == node) {
        l->tail = prev;
    }
    --l->size;
    l->cursor = nullptr;
    void* data = node->data;
    delete node;
    return data;
}

// Frees whatever nodes are left; the elements stay the caller's.
void Destroy_LinkList(LinkList list) {
    List* l = AsList(list);
    if (l == nullptr) {
        return;
    }
    for (Node* node = l->head; node != nullptr;) {
        Node* next = node->next;
        delete node;
        node = next;
    }
    delete l;
}

}  // extern "C"
