// A relay server on 127.0.0.1 for tests: one UDP socket answered by a thread.
// By default it answers probes (the sender's address and a set checksum), server
// list requests (a set list) and lookups (a set answer). A responder installed by
// the test may answer any request its own way, to misbehave on purpose.
#pragma once
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "remote/relaypacket.h"
#include "util/qvsocket.h"

class FakeRelay
{
  public:
    typedef std::vector<uint8_t> Datagram;
    // Given one request, fills the answers to send back (in order) and returns
    // true; false leaves the request to the default answers.
    typedef std::function<bool(const Datagram& request, std::vector<Datagram>* answers)> Responder;

    FakeRelay() : m_hSocket(SocketUdp()), m_bStop(false), m_dwChecksum(0), m_nAnnounced(-1)
    {
        memset(&m_Address, 0, sizeof(m_Address));
        if (m_hSocket == QV_INVALID_SOCKET) return;
        if (!SocketBind(m_hSocket, MakeSockAddr(LoopbackAddress(), 0)) ||
            !SocketLocalAddr(m_hSocket, &m_Address)) {
            CloseSocket(m_hSocket);
            m_hSocket = QV_INVALID_SOCKET;
            return;
        }
        m_Thread = std::thread([this] { Serve(); });
    }
    ~FakeRelay()
    {
        m_bStop = true;
        if (m_Thread.joinable()) m_Thread.join();
        CloseSocket(m_hSocket);
    }

    bool IsUp() const { return m_hSocket != QV_INVALID_SOCKET; }
    const QVSockAddr& Address() const { return m_Address; }

    // The list handed out, and the count announced for it (-1: the list's size).
    void SetList(const std::vector<StunListEntry>& list, int announced = -1)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_List = list;
        m_nAnnounced = announced;
    }
    void SetChecksum(uint32_t checksum)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_dwChecksum = checksum;
    }
    // What a lookup (STUN_FIND or STUN_FIND_RELAY) gets; empty: no answer.
    void SetLookupAnswer(const Datagram& answer)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_LookupAnswer = answer;
    }
    void SetResponder(Responder responder)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Responder = responder;
    }

    // Every request received so far, in order.
    std::vector<Datagram> Requests()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Requests;
    }
    // Where each of those requests came from, in the same order.
    std::vector<QVSockAddr> Senders()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Senders;
    }
    int CountRequests(uint8_t type)
    {
        int n = 0;
        for (const Datagram& d : Requests())
            if (!d.empty() && d[0] == type) n++;
        return n;
    }

    static StunListEntry Entry(const char* name, const char* host, uint16_t port)
    {
        StunListEntry e;
        memset(&e, 0, sizeof(e));
        strncpy(e.szName, name, sizeof(e.szName) - 1);
        strncpy(e.szHost, host, sizeof(e.szHost) - 1);
        e.wPort = port;
        return e;
    }

    // Sends one datagram from the relay's socket (for strays and floods).
    bool SendTo(const QVSockAddr& to, const Datagram& d)
    {
        return SocketSendTo(m_hSocket, d.data(), (int)d.size(), to) == (int)d.size();
    }

  private:
    void Serve()
    {
        while (!m_bStop) {
            if (!SocketReadable(m_hSocket, 20)) continue;
            uint8_t area[STUN_LARGE_RECEIVE];
            QVSockAddr from;
            int n = SocketRecvFrom(m_hSocket, area, (int)sizeof(area), &from);
            if (n < 0) continue;
            Datagram request(area, area + n);
            std::vector<Datagram> answers;
            Responder responder;
            {
                std::lock_guard<std::mutex> hold(m_Lock);
                m_Requests.push_back(request);
                m_Senders.push_back(from);
                responder = m_Responder;
            }
            if (!responder || !responder(request, &answers)) Answer(request, from, &answers);
            for (const Datagram& d : answers)
                SocketSendTo(m_hSocket, d.data(), (int)d.size(), from);
        }
    }

    void Answer(const Datagram& request, const QVSockAddr& from, std::vector<Datagram>* answers)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        uint8_t out[STUN_LARGE_RECEIVE];
        int n = 0;
        uint32_t tag = 0;
        uint8_t entry = 0;
        StunPacketType type;
        std::string name;
        if (ParseProbe(request.data(), (int)request.size(), &tag)) {
            n = BuildProbeAck(out, StunProbeAck{from, m_dwChecksum});
        } else if (ParseListRequest(request.data(), (int)request.size(), &entry, &tag)) {
            if (entry == 0)
                n = BuildListCountAck(out,
                                      m_nAnnounced < 0 ? (uint32_t)m_List.size() : (uint32_t)m_nAnnounced);
            else if (entry <= m_List.size())
                n = BuildListEntryAck(out, m_List[entry - 1]);
        } else if (ParseLookup(request.data(), (int)request.size(), &type, &name)) {
            if (!m_LookupAnswer.empty()) answers->push_back(m_LookupAnswer);
        }
        if (n > 0) answers->push_back(Datagram(out, out + n));
    }

    QVSOCKET m_hSocket;
    QVSockAddr m_Address;
    std::atomic<bool> m_bStop;
    std::thread m_Thread;
    std::mutex m_Lock;
    std::vector<StunListEntry> m_List;
    uint32_t m_dwChecksum;
    int m_nAnnounced;
    Datagram m_LookupAnswer;
    Responder m_Responder;
    std::vector<Datagram> m_Requests;
    std::vector<QVSockAddr> m_Senders;
};
