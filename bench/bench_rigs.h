// What the benchmark programs measure on, shared by the Google Benchmark program
// and the Windows one: a viewer-to-controller link (direct or through the loopback
// bridge) and a session against the in-process simulated controller.
#pragma once
#include <memory>
#include <thread>

#include "protocol/qvserver.h"
#include "protocol/xconnection.h"
#include "remote/loopback.h"
#include "sim/core/sim_controller.h"
#include "tests/support/tcppair.h"
#include "util/qvsocket.h"

// The viewer's end ("client") and the controller's end ("server") of one link,
// joined directly or through a bridge over a TCP transport. The server's worker
// ends when the client side goes away.
struct Link {
    QVSOCKET client = QV_INVALID_SOCKET;
    QVSOCKET server = QV_INVALID_SOCKET;
    std::unique_ptr<CXConnection> conn;
    std::unique_ptr<CTCP_LoopBack> bridge;
    std::thread worker;

    bool Open(bool bridged)
    {
        QVSOCKET mine;
        if (!MakeTcpPair(&server, &mine)) return false;
        if (!bridged) {
            client = mine;
        } else {
            conn.reset(new CXConnection("servers.txt"));
            conn->AdoptSocket(mine);
            bridge.reset(new CTCP_LoopBack(conn.get()));
            client = SocketTcp();
            if (!SocketConnect(client, MakeSockAddr(LoopbackAddress(), bridge->GetPort()))) return false;
        }
        SocketSetNoDelay(client);
        SocketSetNoDelay(server);
        return true;
    }
    ~Link()
    {
        CloseSocket(client);
        if (worker.joinable()) worker.join();
        bridge.reset();
        conn.reset();
        CloseSocket(server);
    }
};

// The simulated controller and a session set up to log in to it (not connected).
struct SessionRig {
    std::unique_ptr<CSimController> sim;
    std::unique_ptr<CQVServer> server;

    bool Start(const SimConfig& cfg)
    {
        sim.reset(new CSimController(cfg));
        if (!sim->Start()) return false;
        server.reset(new CQVServer("."));
        server->SetLoginInfo("00-11-22-33-44-55", "BENCH", "WINDOWS", "WINDOWS");
        server->SetMode(0, cfg.password);
        return true;
    }
    ~SessionRig()
    {
        if (server && server->GetConnection()) server->GetConnection()->Close();
        server.reset();
        sim.reset();
    }
};
