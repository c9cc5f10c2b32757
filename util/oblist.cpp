#include <new>

#include "qvoblist.h"

CQVObList::CQVObList() : m_pHead(nullptr), m_pTail(nullptr), m_nCount(0) {}

CQVObList::~CQVObList()
{
    RemoveAll();
}

bool CQVObList::IsEmpty() const
{
    return m_pHead == nullptr;
}
int32_t CQVObList::GetCount() const
{
    return m_nCount;
}
void* CQVObList::GetHead() const
{
    return m_pHead ? m_pHead->pData : nullptr;
}
void* CQVObList::GetTail() const
{
    return m_pTail ? m_pTail->pData : nullptr;
}
POSITION CQVObList::GetHeadPosition() const
{
    return m_pHead;
}
POSITION CQVObList::GetTailPosition() const
{
    return m_pTail;
}
void* CQVObList::GetAt(POSITION pos) const
{
    return pos ? pos->pData : nullptr;
}

void* CQVObList::GetNext(POSITION& pos) const
{
    QVObNode* node = pos;
    pos = node->pNext;
    return node->pData;
}

void* CQVObList::GetPrev(POSITION& pos) const
{
    QVObNode* node = pos;
    pos = node->pPrev;
    return node->pData;
}

POSITION CQVObList::Find(void* data) const
{
    for (QVObNode* n = m_pHead; n; n = n->pNext)
        if (n->pData == data) return n;
    return nullptr;
}

POSITION CQVObList::FindIndex(int32_t index) const
{
    int32_t half = m_nCount / 2;
    if (index < half) {
        QVObNode* n = m_pHead;
        for (int32_t i = 0; i < index && n && n->pNext; i++)
            n = n->pNext;
        return n;
    }
    if (index >= m_nCount) return nullptr;
    QVObNode* n = m_pTail;
    for (int32_t i = 0; i < m_nCount - 1 - index && n && n->pPrev; i++)
        n = n->pPrev;
    return n;
}

void CQVObList::AddHead(void* data)
{
    QVObNode* node = new (std::nothrow) QVObNode{nullptr, m_pHead, data};
    if (!node) return;
    if (m_pHead)
        m_pHead->pPrev = node;
    else
        m_pTail = node;
    m_pHead = node;
    m_nCount++;
}

void CQVObList::Add(void* data, int /*extra*/)
{
    AddTail(data);
}

void CQVObList::AddTail(void* data)
{
    if (!data) return;
    QVObNode* node = new (std::nothrow) QVObNode{m_pTail, nullptr, data};
    if (!node) return;
    if (m_pTail)
        m_pTail->pNext = node;
    else
        m_pHead = node;
    m_pTail = node;
    m_nCount++;
}

void CQVObList::InsertBefore(POSITION pos, void* data)
{
    if (!pos) {
        AddTail(data);
        return;
    }
    QVObNode* node = new (std::nothrow) QVObNode{pos->pPrev, pos, data};
    if (!node) return;
    if (pos->pPrev)
        pos->pPrev->pNext = node;
    else
        m_pHead = node;
    pos->pPrev = node;
    m_nCount++;
}

void CQVObList::InsertListAfter(const CQVObList* other, void* data)
{
    if (!other) return;
    if (other == this) {
        // Walking a list while growing it would never end: splice a copy instead.
        CQVObList* copy = Clone();
        if (!copy) return;
        InsertListAfter(copy, data);
        delete copy;
        return;
    }
    QVObNode* after = Find(data);
    if (!after) {
        for (QVObNode* n = other->m_pHead; n; n = n->pNext)
            AddTail(n->pData);
        return;
    }
    for (QVObNode* n = other->m_pHead; n; n = n->pNext) {
        QVObNode* node = new (std::nothrow) QVObNode{after, after->pNext, n->pData};
        if (!node) return;
        if (after->pNext)
            after->pNext->pPrev = node;
        else
            m_pTail = node;
        after->pNext = node;
        after = node;
        m_nCount++;
    }
}

bool CQVObList::Contains(void* data) const
{
    return Find(data) != nullptr;
}

void CQVObList::Remove(void* data)
{
    RemoveAt(Find(data));
}

void* CQVObList::RemoveHead()
{
    if (!m_pHead) return nullptr;
    void* data = m_pHead->pData;
    RemoveAt(m_pHead);
    return data;
}

void* CQVObList::RemoveTail()
{
    if (!m_pTail) return nullptr;
    void* data = m_pTail->pData;
    RemoveAt(m_pTail);
    return data;
}

void CQVObList::RemoveAt(POSITION pos)
{
    if (!pos) return;
    if (pos->pPrev)
        pos->pPrev->pNext = pos->pNext;
    else
        m_pHead = pos->pNext;
    if (pos->pNext)
        pos->pNext->pPrev = pos->pPrev;
    else
        m_pTail = pos->pPrev;
    delete pos;
    m_nCount--;
}

void CQVObList::RemoveAll()
{
    QVObNode* n = m_pHead;
    while (n) {
        QVObNode* next = n->pNext;
        delete n;
        n = next;
    }
    m_pHead = nullptr;
    m_pTail = nullptr;
    m_nCount = 0;
}

CQVObList* CQVObList::Clone() const
{
    CQVObList* copy = new (std::nothrow) CQVObList;
    if (!copy) return nullptr;
    // From the tail with AddHead, so that null pointers are copied too.
    for (QVObNode* n = m_pTail; n; n = n->pPrev)
        copy->AddHead(n->pData);
    return copy;
}
