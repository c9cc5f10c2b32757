// A doubly linked list of untyped pointers. It owns its nodes, never the objects.
#pragma once
#include <cstdint>

struct QVObNode {
    QVObNode* pPrev;
    QVObNode* pNext;
    void* pData;
};
typedef QVObNode* POSITION;

// Not a base class: nothing derives from it, so nothing is virtual.
class CQVObList
{
  public:
    CQVObList();
    ~CQVObList();
    bool IsEmpty() const;
    int32_t GetCount() const;
    void* GetHead() const;
    void* GetTail() const;
    POSITION GetHeadPosition() const;
    POSITION GetTailPosition() const;
    void* GetAt(POSITION pos) const;
    void* GetNext(POSITION& pos) const;
    void* GetPrev(POSITION& pos) const;
    POSITION Find(void* data) const;
    POSITION FindIndex(int32_t index) const;
    void AddHead(void* data);
    void Add(void* data, int extra);
    void AddTail(void* data);
    void InsertBefore(POSITION pos, void* data);
    void InsertListAfter(const CQVObList* other, void* data);
    bool Contains(void* data) const;
    void Remove(void* data);
    void* RemoveHead();
    void* RemoveTail();
    void RemoveAt(POSITION pos);
    void RemoveAll();
    CQVObList* Clone() const;

  private:
    CQVObList(const CQVObList&) = delete;
    CQVObList& operator=(const CQVObList&) = delete;
    QVObNode* m_pHead;
    QVObNode* m_pTail;
    int32_t m_nCount;
};
