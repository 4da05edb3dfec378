/* Host list container: an ordered list of element pointers it never owns. */
#ifndef LINK_LIST_H
#define LINK_LIST_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void* LinkList;

/* A new empty list, or NULL on failure. */
LinkList Init_LinkList(void);
/* Appends data; 0 on success, -1 on failure (NULL list or no memory). */
int PushBack_LinkList(LinkList list, void* data);
/* Number of elements; 0 for a NULL list. */
int Size_LinkList(LinkList list);
/* Element at index (from 0) without removing it; NULL past the end. */
void* Get_LinkList(LinkList list, int index);
/* Removes and returns the element at index; NULL when there is none. */
void* RemoveByPos_LinkList(LinkList list, int index);
/* Releases the list itself, not its elements. */
void Destroy_LinkList(LinkList list);

#ifdef __cplusplus
}
#endif

#endif /* LINK_LIST_H */
