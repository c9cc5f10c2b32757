#include "qvtime.h"

CQVTime::CQVTime()
{
    GetLocalSystemTime(&m_Time);
}

CQVTime::~CQVTime() {}

void CQVTime::Now()
{
    GetLocalSystemTime(&m_Time);
}
