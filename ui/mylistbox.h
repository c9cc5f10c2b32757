// The owner-drawn list of controllers found on the local network.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "framework.h"

// One line's record. The line owns it: RemoveEntry and DeleteAllEntries delete it.
struct SystemEntry {
    SystemEntry();
    // Status values that let a typed name select the entry on its own.
    bool IsAutoSelectable() const;

    std::string m_strName; // the line's text, by which the list sorts
    uint32_t m_dwAddress;  // IPv4, first dotted byte lowest
    uint16_t m_wPort;
    uint8_t m_bStatus;
    uint8_t m_bFlags;
    uint32_t m_dwLastSeen; // tick of the last answer
};

// "a.b.c.d:port", the right-hand text of a line.
std::string FormatEntryAddress(uint32_t address, uint16_t port);

// Subclass the control while it is still empty: the entries are followed from
// then on.
class CMyListBox : public CListBox
{
  public:
    enum { SCROLL_TIMER = 1, SCROLL_PERIOD_MS = 20, LINES_PER_NOTCH = 3 };

    CMyListBox();

    // The line index, or a negative value when the list refused the line (the
    // entry then stays the caller's).
    int AddEntry(SystemEntry* entry);
    // Deletes the entry's line and the entry; an entry in no line is left alone.
    void RemoveEntry(SystemEntry* entry);
    // The entry of a line, or null. Answered from the list's own copy of the item
    // data, without a window message: discovery looks lines up on every answer.
    SystemEntry* GetEntry(int index) const;
    // The number of lines, from the same copy.
    int GetEntryCount() const { return (int)m_Entries.size(); }
    // Deletes every line's entry and clears the item data (the lines stay).
    void DeleteAllEntries();

    void DrawItem(LPDRAWITEMSTRUCT item) override;
    void MeasureItem(LPMEASUREITEMSTRUCT item) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Smooth wheel scrolling: each notch queues three lines, taken one per tick.
    void OnMouseWheel(int delta);
    void OnScrollTimer();
    int GetPendingScroll() const { return m_nPendingScroll; }

  private:
    // Reads the lines' item data from the control again (after a change whose
    // effect on the lines cannot be told from its result).
    void ReloadEntries();

    int32_t m_nPendingScroll; // lines still to scroll: negative up, positive down
    // Each line's item data in line order, kept in step by WindowProc with every
    // message that adds, removes or re-labels lines, whoever sends it.
    std::vector<SystemEntry*> m_Entries;
};
