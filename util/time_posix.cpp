#include <time.h>

#include <cstring>

#include "qvtime.h"

void GetLocalSystemTime(QVSystemTime* out)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    struct tm tmv;
    if (!localtime_r(&secs, &tmv)) {
        memset(out, 0, sizeof(*out));
        return;
    }
    out->wYear = (uint16_t)(tmv.tm_year + 1900);
    out->wMonth = (uint16_t)(tmv.tm_mon + 1);
    out->wDayOfWeek = (uint16_t)tmv.tm_wday;
    out->wDay = (uint16_t)tmv.tm_mday;
    out->wHour = (uint16_t)tmv.tm_hour;
    out->wMinute = (uint16_t)tmv.tm_min;
    // A leap second shows as the last second of its minute.
    out->wSecond = (uint16_t)(tmv.tm_sec > 59 ? 59 : tmv.tm_sec);
    out->wMilliseconds = (uint16_t)(ts.tv_nsec / 1000000);
}
