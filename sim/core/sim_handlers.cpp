// The controller simulator's message handlers: challenge, login (checked field by
// field against what a launcher of this version must send), version, the two
// downloads and echo. Bodies are written byte by byte here, apart from the
// launcher's message class, so that the tests cross-check its parser.
#include <cstring>
#include <fstream>
#include <iterator>

#include "../../protocol/qvcode.h"
#include "../../util/product.h"
#include "../../util/qvtypes.h"
#include "sim_connection.h"

namespace
{

const uint32_t kRevision = 1528;
// The launcher's own build, whose description the login must carry.
const char kLauncherVersion[] = QV_VERSION_DISPLAY;

// The simulator's own view of which client names go with which type numbers;
// kept apart from the launcher's table so that a mistake there shows up here.
struct KnownClient {
    const char* name;
    uint32_t type;
};
const KnownClient kKnownClients[] = {
    {"Win Rerudi", 0}, {"Config", 3},  {"Service", 4},   {"Peer", 9},     {"Win32 Client", 0},
    {"OSD", 13},       {"minipad", 5}, {"Extender", 18}, {"Upgrade", 19}, {"TC-Config", 20},
};

void AppendWord(std::vector<uint8_t>& out, uint32_t v)
{
    uint8_t b[4];
    PutLE32(b, v);
    out.insert(out.end(), b, b + 4);
}

void AppendPadded(std::vector<uint8_t>& out, const uint8_t* data, size_t n)
{
    out.insert(out.end(), data, data + n);
    while (out.size() % 4)
        out.push_back(0);
}

void AppendString(std::vector<uint8_t>& out, const std::string& text)
{
    AppendWord(out, (uint32_t)text.size());
    AppendPadded(out, (const uint8_t*)text.data(), text.size());
}

// Bounds-checked reader over a request body; every failure is sticky.
class BodyReader
{
  public:
    BodyReader(const uint8_t* p, uint32_t n) : m_p(p), m_n(n), m_pos(0), m_ok(true) {}
    bool Word(uint32_t* v)
    {
        if (!m_ok || m_n - m_pos < 4) return m_ok = false;
        *v = GetLE32(m_p + m_pos);
        m_pos += 4;
        return true;
    }
    bool Bytes(uint8_t* dest, uint32_t count)
    {
        if (!m_ok || m_n - m_pos < count) return m_ok = false;
        memcpy(dest, m_p + m_pos, count);
        m_pos += count;
        return true;
    }
    bool String(std::string* s)
    {
        uint32_t len;
        if (!Word(&len)) return false;
        if (len & 0x80000000u) return m_ok = false; // launchers write 8-bit text only
        uint32_t padded = (len + 3) & ~3u;
        if (len > m_n || m_n - m_pos < padded) return m_ok = false;
        s->assign((const char*)m_p + m_pos, len);
        m_pos += padded;
        return true;
    }
    uint32_t Left() const { return m_n - m_pos; }

  private:
    const uint8_t* m_p;
    uint32_t m_n;
    uint32_t m_pos;
    bool m_ok;
};

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

} // namespace

bool CSimController::ExpectedResponse(const std::string& password, const std::string& challenge,
                                      uint8_t out[16])
{
    memset(out, 0, 16);
    std::vector<uint8_t> key = PadTo16(password, 0);
    std::vector<uint8_t> input = PadTo16(challenge, 0);
    CQVCode code;
    if (!code.MakeKey(key.data(), (int)key.size())) return false;
    return code.EncryptBlock(input.data(), out);
}

std::vector<uint8_t> CSimController::Encode(uint16_t id, uint16_t code, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> out(8 + body.size());
    PutLE16(&out[0], id);
    PutLE16(&out[2], code);
    PutLE32(&out[4], (uint32_t)body.size());
    if (!body.empty()) memcpy(&out[8], body.data(), body.size());
    return out;
}

bool CSimController::HandleMessage(Connection& conn, uint16_t id, uint16_t code, const uint8_t* body,
                                   uint32_t length)
{
    const unsigned n = (unsigned)conn.index;
    SimFaults faults;
    bool requireLogin;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Stats.messagesByCode[code]++;
        faults = m_Config.faults;
        requireLogin = m_Config.requireLogin;
    }
    m_Changed.notify_all();
    std::vector<uint8_t> reply;

    switch (code) {
    case 14: {
        std::string challenge;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            challenge = m_Config.challenge;
        }
        Count([](SimStats& s) { s.challenges++; });
        Log(StrPrintf("conn %u: challenge asked (id %u)", n, id));
        AppendString(reply, challenge);
        return Answer(conn, id, 15, reply, faults, code);
    }
    case 27:
        return HandleLogin(conn, id, body, length, faults);
    case 8120: {
        if (requireLogin && !conn.loggedIn) {
            Count([](SimStats& s) { s.badRequests++; });
            Log(StrPrintf("conn %u: version asked before login", n));
            return true;
        }
        std::string version;
        uint32_t word;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            version = m_Config.version;
            word = m_Config.versionWord;
        }
        Count([](SimStats& s) { s.versionRequests++; });
        Log(StrPrintf("conn %u: version asked (id %u): %s", n, id, version.c_str()));
        AppendString(reply, version);
        AppendWord(reply, word);
        return Answer(conn, id, 8121, reply, faults, code);
    }
    case 8130:
    case 8148:
        return HandleDownload(conn, id, code, body, length, faults);
    case SIM_MSG_ECHO:
        Count([](SimStats& s) { s.echoes++; });
        Log(StrPrintf("conn %u: echo (id %u, %u bytes)", n, id, length));
        reply.assign(body, body + length);
        return Answer(conn, id, SIM_MSG_ECHO_REPLY, reply, faults, code);
    default:
        Count([](SimStats& s) { s.badRequests++; });
        Log(StrPrintf("conn %u: unknown message code %u (id %u, %u bytes)", n, code, id, length));
        return true;
    }
}

bool CSimController::HandleLogin(Connection& conn, uint16_t id, const uint8_t* body, uint32_t length,
                                 const SimFaults& faults)
{
    const unsigned n = (unsigned)conn.index;
    SimLoginInfo info;
    BodyReader r(body, length);
    info.complete = r.Word(&info.revision) && r.Word(&info.typeNumber) && r.String(&info.description) &&
                    r.Word(&info.word16) && r.Bytes(info.response, 16) && r.Word(&info.word2) &&
                    r.String(&info.hardwareAddress) && r.String(&info.platformA) &&
                    r.String(&info.platformB) && r.String(&info.computerName) && r.Left() == 0;

    std::string password, challenge;
    uint16_t refusedCode;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        password = m_Config.password;
        challenge = m_Config.challenge;
        refusedCode = m_Config.loginRefusedCode;
        m_Stats.lastLogin = info;
    }

    std::string problem;
    if (!info.complete)
        problem = "fields missing or malformed";
    else if (info.revision != kRevision)
        problem = StrPrintf("revision %u", info.revision);
    else if (info.word16 != 16)
        problem = StrPrintf("response size word %u", info.word16);
    else if (info.word2 != 2)
        problem = StrPrintf("word after the response %u", info.word2);
    else {
        bool known = false;
        for (const KnownClient& k : kKnownClients) {
            if (info.description == std::string(k.name) + " " + kLauncherVersion) {
                known = true;
                if (info.typeNumber != k.type)
                    problem = StrPrintf("type %u does not go with \"%s\"", info.typeNumber, k.name);
                break;
            }
        }
        if (!known) problem = "unknown description \"" + info.description + "\"";
    }
    if (problem.empty()) {
        uint8_t expected[16];
        if (!ExpectedResponse(password, challenge, expected) || memcmp(expected, info.response, 16) != 0)
            problem = "wrong password";
    }

    if (!problem.empty()) {
        Count([](SimStats& s) { s.loginsRefused++; });
        Log(StrPrintf("conn %u: login refused (id %u): %s", n, id, problem.c_str()));
        return Answer(conn, id, refusedCode, std::vector<uint8_t>(), faults, 27);
    }
    conn.loggedIn = true;
    Count([](SimStats& s) { s.loginsOk++; });
    Log(StrPrintf("conn %u: login ok (id %u): %s, type %u", n, id, info.description.c_str(),
                  info.typeNumber));
    return Answer(conn, id, 28, std::vector<uint8_t>(), faults, 27);
}

bool CSimController::HandleDownload(Connection& conn, uint16_t id, uint16_t code, const uint8_t* body,
                                    uint32_t length, const SimFaults& faults)
{
    const unsigned n = (unsigned)conn.index;
    const bool viewer = code == 8130;
    BodyReader r(body, length);
    uint32_t w[3] = {0, 0, 0};
    bool fieldsOk = viewer
                        ? (r.Word(&w[0]) && r.Word(&w[1]) && r.Word(&w[2]) && r.Left() == 0 && w[0] == 0 &&
                           w[1] == 2 && w[2] == kRevision)
                        : (r.Word(&w[0]) && r.Word(&w[1]) && r.Left() == 0 && w[0] == 3 && w[1] == kRevision);
    if (!fieldsOk) {
        Count([](SimStats& s) { s.badRequests++; });
        Log(StrPrintf("conn %u: download request %u has unexpected fields", n, code));
    }
    if (!conn.loggedIn) {
        bool require;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            require = m_Config.requireLogin;
        }
        if (require) {
            Count([](SimStats& s) { s.badRequests++; });
            Log(StrPrintf("conn %u: download asked before login", n));
            return true;
        }
    }

    std::vector<uint8_t> file;
    std::string path;
    uint32_t pieceSize;
    uint16_t wholeCode, pieceCode;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        path = viewer ? m_Config.viewerPath : m_Config.configPath;
        if (path.empty()) file = viewer ? m_Config.viewerFile : m_Config.configFile;
        pieceSize = m_Config.pieceSize;
        wholeCode = viewer ? m_Config.viewerWholeCode : m_Config.configWholeCode;
        pieceCode = m_Config.pieceCode;
    }
    if (!path.empty() && !ReadWholeFile(path, &file)) {
        Log(StrPrintf("conn %u: cannot read %s; serving an empty file", n, path.c_str()));
        file.clear();
    }
    Count([viewer](SimStats& s) {
        s.downloadRequests++;
        if (viewer)
            s.viewerRequests++;
        else
            s.configRequests++;
    });
    const uint32_t total = (uint32_t)file.size();

    if (pieceSize == 0) {
        Log(StrPrintf("conn %u: download %u (id %u): %u bytes whole", n, code, id, total));
        std::vector<uint8_t> reply;
        reply.reserve(total + 8);
        AppendWord(reply, total);
        AppendPadded(reply, file.data(), file.size());
        return Answer(conn, id, wholeCode, reply, faults, code);
    }

    const uint32_t pieces = total == 0 ? 1 : (total + pieceSize - 1) / pieceSize;
    Log(StrPrintf("conn %u: download %u (id %u): %u bytes in %u pieces", n, code, id, total, pieces));
    SimFaults later = faults; // stray messages go out before the first piece only
    later.extraForOtherId = false;
    later.unsolicitedFirst = false;
    uint32_t offset = 0;
    for (uint32_t i = 0; i < pieces; i++) {
        if (FaultApplies(faults, code) && faults.closeAfterPieces && i == faults.closeAfterPieces) {
            Log(StrPrintf("conn %u: closing the connection after %u pieces", n, i));
            return false;
        }
        uint32_t len = total - offset < pieceSize ? total - offset : pieceSize;
        std::vector<uint8_t> reply;
        reply.reserve(len + 12);
        AppendWord(reply, total);
        AppendWord(reply, len);
        AppendPadded(reply, file.data() + offset, len);
        if (!Answer(conn, id, pieceCode, reply, i == 0 ? faults : later, code)) return false;
        offset += len;
        Count([](SimStats& s) { s.piecesSent++; });
        if (FaultApplies(faults, code) && (faults.silent || faults.oversizedHeader)) break;
    }
    return true;
}
