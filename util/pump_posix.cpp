#include "qvpump.h"

void PumpOneWindowMessage() {}
