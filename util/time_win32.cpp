#include <windows.h>

#include "qvtime.h"

void GetLocalSystemTime(QVSystemTime* out)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    out->wYear = st.wYear;
    out->wMonth = st.wMonth;
    out->wDayOfWeek = st.wDayOfWeek;
    out->wDay = st.wDay;
    out->wHour = st.wHour;
    out->wMinute = st.wMinute;
    out->wSecond = st.wSecond;
    out->wMilliseconds = st.wMilliseconds;
}
