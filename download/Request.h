// The process-wide session through which tracking pings are sent.
#pragma once

#include "net/Session.h"

class CRequest : public CSession {
public:
    CRequest();
};

// The global request, created during static initialisation; never destroyed.
CRequest* GetGlobalRequest();

// One GET of url; the answer is not read. True when the request went out and
// an answer came back (any status), false otherwise (logged).
bool Ping(const wchar_t* url);
