// A doubly linked list of untyped pointers. It owns its nodes, never the objects.
#pragma once
#include <cstdint>

struct QVObNode {
    QVObNode* pPrev;
    QVObNode* pNext;
    void* pData;
};
typedef QVObNode* POSITION;

class CQVObList
{
public:
    CQVObList();
    virtual ~CQVObList();
    virtual bool IsEmpty() const;
    virtual int32_t GetCount() const;
    virtual void* GetHead() const;
    virtual void* GetTail() const;
    virtual POSITION GetHeadPosition() const;
    virtual POSITION GetTailPosition() const;
    virtual void* GetAt(POSITION pos) const;
    virtual void* GetNext(POSITION& pos) const;
    virtual void* GetPrev(POSITION& pos) const;
    virtual POSITION Find(void* data) const;
    virtual POSITION FindIndex(int32_t index) const;
    virtual void AddHead(void* data);
    virtual void Add(void* data, int extra);
    virtual void AddTail(void* data);
    virtual void InsertBefore(POSITION pos, void* data);
    virtual void InsertListAfter(const CQVObList* other, void* data);
    virtual bool Contains(void* data) const;
    virtual void Remove(void* data);
    virtual void* RemoveHead();
    virtual void* RemoveTail();
    virtual void RemoveAt(POSITION pos);
    virtual void RemoveAll();
    virtual CQVObList* Clone() const;

private:
    CQVObList(const CQVObList&) = delete;
    CQVObList& operator=(const CQVObList&) = delete;
    QVObNode* m_pHead;
    QVObNode* m_pTail;
    int32_t m_nCount;
};
