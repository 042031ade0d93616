// The tasks that make the call-backs to one client sink, each run once on that client's
// notification thread: OnData (DISPID 1) with a copy of received bytes (its own, or one
// shared with the other connections' tasks of the same read, see CSharedBytes), and
// OnPortEvent (DISPID 2) or OnError (DISPID 3) with one code.
//
// A leaf holds no reference on its sink: it calls it through the connection's gate
// (CConnectionGate), which hands it a reference of its own for the call and refuses
// once the connection has been closed. A leaf made without a gate calls its sink
// directly; the sink must then outlive the task. A leaf made with a charge gives it back
// to its gate's queue account when it is deleted.
#pragma once

#include "engine/Strategy.h"
#include "platform/base/types.h"
#include "platform/com/interfaces.h"

#include <atomic>

class CConnectionGate;

// The bytes of one read, copied once and shared, read-only, by the data tasks of every
// connection the read is fanned out to; freed with its last reference. Each call still
// gets a safe array of its own, so a sink never sees another sink's array.
class CSharedBytes {
public:
    // A copy of dwLength bytes of pData with one reference for the caller; null for 0
    // bytes or when it cannot be allocated.
    static CSharedBytes* Create(DWORD dwLength, const BYTE* pData);
    CSharedBytes(const CSharedBytes&) = delete;
    CSharedBytes& operator=(const CSharedBytes&) = delete;

    void AddRef() { ++m_lRef; }
    void Release();
    const BYTE* Data() const { return reinterpret_cast<const BYTE*>(this) + sizeof(CSharedBytes); }
    DWORD Length() const { return m_dwLength; }

private:
    explicit CSharedBytes(DWORD dwLength) : m_lRef(1), m_dwLength(dwLength) {}
    ~CSharedBytes() = default;

    std::atomic<LONG> m_lRef;
    const DWORD m_dwLength;  // the bytes follow the object in the same allocation
};

class CDataNotificationLeaf : public CStrategy {
public:
    // Copies dwLength bytes of pData (none when dwLength is 0); a copy that cannot be
    // allocated leaves m_pBytes null, and the task then calls nobody.
    CDataNotificationLeaf(IDispatch* pSink, DWORD dwLength, const BYTE* pData, BOOL bAutoDelete,
                          CConnectionGate* pGate = nullptr, ULONGLONG qwCharge = 0);
    // Shares pBytes (a reference of its own; null: the task calls nobody).
    CDataNotificationLeaf(IDispatch* pSink, CSharedBytes* pBytes, BOOL bAutoDelete,
                          CConnectionGate* pGate, ULONGLONG qwCharge);
    ~CDataNotificationLeaf() override;

    // Calls OnData with a one-dimensional VT_UI1 safe array of the bytes. Completion code:
    // the call's result, E_FAIL when no safe array can be made.
    BOOL AlgorithmInterface(BOOL& bDone) override;

    CSharedBytes* m_pBytes;  // counted; null for 0 bytes or a failed copy
    IDispatch* m_pSink;     // not counted
    DWORD m_dwDataLength;
    CConnectionGate* m_pGate;  // counted; null without a gate
    ULONGLONG m_qwCharge;      // charged to m_pGate's queue account
};

class CEventNotificationLeaf : public CStrategy {
public:
    // Always auto-delete.
    CEventNotificationLeaf(IDispatch* pSink, LONG lCode, CConnectionGate* pGate = nullptr,
                           ULONGLONG qwCharge = 0);
    ~CEventNotificationLeaf() override;

    // Calls OnError for codes from 1000 up, OnPortEvent below, with the code as VT_I4.
    // Completion code: the call's result; E_OUTOFMEMORY when the argument array cannot
    // be allocated (no call is made then).
    BOOL AlgorithmInterface(BOOL& bDone) override;

    LONG m_lCode;           // an EventConstants or ErrorConstants value
    IDispatch* m_pSink;     // not counted
    CConnectionGate* m_pGate;  // counted; null without a gate
    ULONGLONG m_qwCharge;      // charged to m_pGate's queue account
};
