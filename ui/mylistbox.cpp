#include "mylistbox.h"

#include <cstddef>

#include "../protocol/discovery.h"
#include "../util/qvtypes.h"
#include "appearance.h"

SystemEntry::SystemEntry()
    : m_dwAddress(0), m_wPort(0), m_bStatus(DISCOVERY_STATUS_NONE), m_bFlags(0), m_dwLastSeen(0)
{
}

bool SystemEntry::IsAutoSelectable() const
{
    return m_bStatus == DISCOVERY_STATUS_SELECTABLE || m_bStatus == DISCOVERY_STATUS_SELECTABLE_HIGH ||
           (m_bStatus >= DISCOVERY_STATUS_SELECTABLE_FIRST && m_bStatus <= DISCOVERY_STATUS_SELECTABLE_LAST);
}

std::string FormatEntryAddress(uint32_t address, uint16_t port)
{
    return FormatAddressRecord(MakeSockAddr(address, port));
}

CMyListBox::CMyListBox() : m_nPendingScroll(0) {}

int CMyListBox::AddEntry(SystemEntry* entry)
{
    if (!entry || !m_hWnd) return LB_ERR;
    int index = AddString(entry->m_strName);
    if (index < 0) return index;
    SetItemData(index, (DWORD_PTR)entry);
    return index;
}

SystemEntry* CMyListBox::GetEntry(int index) const
{
    if (index < 0 || index >= (int)m_Entries.size()) return nullptr;
    return m_Entries[(size_t)index];
}

void CMyListBox::RemoveEntry(SystemEntry* entry)
{
    if (!entry || !m_hWnd) return;
    for (size_t i = 0; i < m_Entries.size(); ++i) {
        if (m_Entries[i] == entry) {
            DeleteString((int)i);
            delete entry;
            return;
        }
    }
}

void CMyListBox::DeleteAllEntries()
{
    if (!m_hWnd) return;
    for (size_t i = 0; i < m_Entries.size(); ++i) {
        SystemEntry* entry = m_Entries[i];
        if (!entry) continue;
        SetItemData((int)i, 0);
        delete entry;
    }
}

void CMyListBox::ReloadEntries()
{
    m_Entries.clear();
    if (!m_hWnd) return;
    const int count = GetCount();
    for (int i = 0; i < count; ++i) {
        DWORD_PTR data = GetItemData(i);
        // LB_ERR comes back through the same channel as the data.
        m_Entries.push_back(data == (DWORD_PTR)LB_ERR ? nullptr : reinterpret_cast<SystemEntry*>(data));
    }
}

void CMyListBox::DrawItem(LPDRAWITEMSTRUCT item)
{
    if (!item) return;
    SystemEntry* entry = nullptr;
    if (item->itemID != (UINT)-1 && item->itemData != (ULONG_PTR)LB_ERR)
        entry = reinterpret_cast<SystemEntry*>(item->itemData);
    HDC dc = item->hDC;
    COLORREF oldText = ::GetTextColor(dc);
    COLORREF oldBack = ::GetBkColor(dc);
    // Transparent text, so that a selected line shows amber behind its text
    // rather than black boxes.
    int oldMode = ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, QV_WHITE);
    ::SetBkColor(dc, QV_BLACK);

    RECT rect = item->rcItem;
    HBRUSH fill = ::CreateSolidBrush((item->itemState & ODS_SELECTED) ? QV_AMBER : QV_BLACK);
    ::FillRect(dc, &rect, fill ? fill : (HBRUSH)::GetStockObject(BLACK_BRUSH));
    if (fill) ::DeleteObject(fill);

    rect.left += 5;
    if (entry) {
        ::DrawTextA(dc, entry->m_strName.c_str(), -1, &rect, DT_WORDBREAK);
        std::string address = FormatEntryAddress(entry->m_dwAddress, entry->m_wPort);
        ::DrawTextA(dc, address.c_str(), -1, &rect, DT_RIGHT);
    }

    ::SetBkMode(dc, oldMode);
    ::SetTextColor(dc, oldText);
    ::SetBkColor(dc, oldBack);
}

void CMyListBox::MeasureItem(LPMEASUREITEMSTRUCT item)
{
    if (!item || !m_hWnd) return;
    std::string text = GetText((int)item->itemID);
    RECT rect = {0, 0, 0, 0};
    if (GetItemRect((int)item->itemID, &rect) == LB_ERR || rect.right <= rect.left) {
        // Without the line's own rectangle, measure across the list's width so
        // that a name of several words is not broken after every word.
        RECT client;
        GetClientRect(&client);
        rect = client;
    }
    HDC dc = ::GetDC(m_hWnd);
    if (!dc) return;
    HFONT font = GetFont();
    HGDIOBJ oldFont = font ? ::SelectObject(dc, font) : nullptr;
    ::DrawTextA(dc, text.c_str(), -1, &rect, DT_CALCRECT | DT_WORDBREAK);
    int height = rect.bottom - rect.top;
    TEXTMETRICA metrics;
    if (::GetTextMetricsA(dc, &metrics) && height < metrics.tmHeight)
        height = metrics.tmHeight; // an empty name still gets a line
    if (oldFont) ::SelectObject(dc, oldFont);
    ::ReleaseDC(m_hWnd, dc);
    if (height < 1) height = 1;
    if (height > 255) height = 255; // the list box's limit for one line
    item->itemHeight = (UINT)height;
}

void CMyListBox::OnMouseWheel(int delta)
{
    KillTimer(SCROLL_TIMER);
    if (delta <= 0)
        m_nPendingScroll += LINES_PER_NOTCH;
    else
        m_nPendingScroll -= LINES_PER_NOTCH;
    SetTimer(SCROLL_TIMER, SCROLL_PERIOD_MS);
}

void CMyListBox::OnScrollTimer()
{
    if (m_nPendingScroll == 0) {
        KillTimer(SCROLL_TIMER);
        return;
    }
    int top = GetTopIndex();
    int target;
    if (m_nPendingScroll < 0) {
        if (top <= 0) {
            m_nPendingScroll = 0;
            KillTimer(SCROLL_TIMER);
            return;
        }
        target = top - 1;
    } else {
        if (top >= GetCount() - 1) {
            m_nPendingScroll = 0;
            KillTimer(SCROLL_TIMER);
            return;
        }
        target = top + 1;
    }
    SetTopIndex(target);
    if (GetTopIndex() == top) {
        // The list will not scroll further (its last page is already in view):
        // nothing left to do, so the timer stops now instead of ticking idly.
        m_nPendingScroll = 0;
        KillTimer(SCROLL_TIMER);
        return;
    }
    m_nPendingScroll += (m_nPendingScroll < 0) ? 1 : -1;
}

LRESULT CMyListBox::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case LB_ADDSTRING:
    case LB_INSERTSTRING: {
        // A new line starts without item data; its index is the result.
        const LRESULT result = CListBox::WindowProc(message, wParam, lParam);
        if (result >= 0 && (size_t)result <= m_Entries.size())
            m_Entries.insert(m_Entries.begin() + result, nullptr);
        else if (result >= 0)
            ReloadEntries();
        return result;
    }
    case LB_DELETESTRING: {
        const LRESULT result = CListBox::WindowProc(message, wParam, lParam);
        if (result != LB_ERR && wParam < m_Entries.size())
            m_Entries.erase(m_Entries.begin() + (ptrdiff_t)wParam);
        return result;
    }
    case LB_RESETCONTENT: {
        const LRESULT result = CListBox::WindowProc(message, wParam, lParam);
        m_Entries.clear();
        return result;
    }
    case LB_SETITEMDATA: {
        const LRESULT result = CListBox::WindowProc(message, wParam, lParam);
        if (result == LB_ERR) return result;
        SystemEntry* data = reinterpret_cast<SystemEntry*>(lParam);
        if ((int)wParam == -1) {
            for (SystemEntry*& entry : m_Entries)
                entry = data;
        } else if (wParam < m_Entries.size()) {
            m_Entries[wParam] = data;
        }
        return result;
    }
    case LB_DIR:
    case LB_ADDFILE: {
        const LRESULT result = CListBox::WindowProc(message, wParam, lParam);
        ReloadEntries();
        return result;
    }
    case WM_DESTROY:
    case WM_NCDESTROY: {
        // The lines go with the window.
        const LRESULT result = CListBox::WindowProc(message, wParam, lParam);
        m_Entries.clear();
        return result;
    }
    case WM_ERASEBKGND: {
        RECT client;
        GetClientRect(&client);
        ::FillRect((HDC)wParam, &client, (HBRUSH)::GetStockObject(BLACK_BRUSH));
        return 1;
    }
    case WM_MOUSEWHEEL:
        OnMouseWheel(GET_WHEEL_DELTA_WPARAM(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == SCROLL_TIMER) {
            OnScrollTimer();
            return 0;
        }
        break;
    default:
        break;
    }
    return CListBox::WindowProc(message, wParam, lParam);
}
