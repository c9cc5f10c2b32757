// Lets long waits on the window thread keep the windows alive: takes at most one
// pending window message of the calling thread (removed, without yielding) and
// dispatches it. Does nothing where there are no windows.
#pragma once

void PumpOneWindowMessage();
