// A snapshot of the local wall-clock time.
#pragma once
#include <cstdint>

struct QVSystemTime {
    uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

class CQVTime
{
  public:
    CQVTime(); // takes the current local time
    virtual ~CQVTime();
    void Now();
    int GetYear() const { return m_Time.wYear; }
    int GetMonth() const { return m_Time.wMonth; }
    int GetDay() const { return m_Time.wDay; }
    int GetHour() const { return m_Time.wHour; }
    int GetMinute() const { return m_Time.wMinute; }
    int GetSecond() const { return m_Time.wSecond; }
    const QVSystemTime& Get() const { return m_Time; }

  private:
    QVSystemTime m_Time;
};

// The platform's local time (seam).
void GetLocalSystemTime(QVSystemTime* out);
