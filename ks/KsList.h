// CKsList: the doubly linked pointer list of the KS classes. A list never
// owns its elements by itself; each owner says whether it empties a list
// with DeleteAll (destroying the elements) or RemoveAll (only unlinking).
#ifndef VOROD_KS_KSLIST_H
#define VOROD_KS_KSLIST_H

#include <windows.h>

#include <new>

template <class T>
class CKsList {
 public:
  struct Node {
    Node* pNext;  // towards m_pLast
    Node* pPrev;  // towards m_pFirst
    T* pData;
  };

  CKsList() : m_pFirst(nullptr), m_pLast(nullptr), m_ulCount(0) {}
  ~CKsList() { RemoveAll(); }
  CKsList(const CKsList&) = delete;
  CKsList& operator=(const CKsList&) = delete;

  bool IsEmpty() const { return m_ulCount == 0; }

  // Links the element behind m_pLast; null, with the list unchanged, when
  // the node cannot be allocated.
  Node* AddTail(T* pData) {
    Node* pNode = new (std::nothrow) Node;
    if (!pNode) {
      return nullptr;
    }
    pNode->pNext = nullptr;
    pNode->pPrev = m_pLast;
    pNode->pData = pData;
    if (m_pLast) {
      m_pLast->pNext = pNode;
    } else {
      m_pFirst = pNode;
    }
    m_pLast = pNode;
    ++m_ulCount;
    return pNode;
  }

  // Unlinks the first node holding the pointer (not the element itself).
  HRESULT Remove(T* pData) {
    for (Node* pNode = m_pFirst; pNode; pNode = pNode->pNext) {
      if (pNode->pData == pData) {
        (pNode->pPrev ? pNode->pPrev->pNext : m_pFirst) = pNode->pNext;
        (pNode->pNext ? pNode->pNext->pPrev : m_pLast) = pNode->pPrev;
        delete pNode;
        --m_ulCount;
        return S_OK;
      }
    }
    return E_FAIL;
  }

  // Takes the first node off the list and returns its element (null when
  // the list is empty).
  T* RemoveHead() {
    Node* pNode = m_pFirst;
    if (!pNode) {
      return nullptr;
    }
    m_pFirst = pNode->pNext;
    if (m_pFirst) {
      m_pFirst->pPrev = nullptr;
    } else {
      m_pLast = nullptr;
    }
    T* pData = pNode->pData;
    delete pNode;
    --m_ulCount;
    return pData;
  }

  // Empties the list, oldest first, leaving the elements alone.
  void RemoveAll() {
    while (m_pFirst) {
      RemoveHead();
    }
  }

  // Empties the list, oldest first, destroying each element.
  void DeleteAll() {
    while (m_pFirst) {
      delete RemoveHead();
    }
  }

  Node* m_pFirst;  // the oldest node
  Node* m_pLast;   // the newest node
  ULONG m_ulCount;
};

#endif  // VOROD_KS_KSLIST_H
