// Arbitrary bytes as the relay server list file, handed to the pool's parser in
// memory (the file is only a way to those same bytes). Whatever the text holds,
// the pool keeps at most 32 entries with terminated, NUL-padded texts and ports of
// 0 to 65535; an empty result is never saved; a list's file text reads back as the
// same entries with the same checksum, and that list's text is the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "remote/serverpool.h"

namespace
{

void CheckEntries(CServerPool& pool)
{
    FUZZ_CHECK(pool.GetCount() >= 0 && pool.GetCount() <= SERVER_POOL_MAX);
    FUZZ_CHECK(pool.GetEntry(pool.GetCount()) == nullptr);
    for (int i = 0; i < pool.GetCount(); i++) {
        const ServerEntry* e = pool.GetEntry(i);
        FUZZ_CHECK(e != nullptr);
        size_t name = strnlen(e->szName, sizeof(e->szName));
        size_t host = strnlen(e->szHost, sizeof(e->szHost));
        FUZZ_CHECK(name < sizeof(e->szName) && host < sizeof(e->szHost));
        for (size_t j = name; j < sizeof(e->szName); j++)
            FUZZ_CHECK(e->szName[j] == 0);
        for (size_t j = host; j < sizeof(e->szHost); j++)
            FUZZ_CHECK(e->szHost[j] == 0);
        // What was a field separator or a line end in the file cannot be inside one.
        FUZZ_CHECK(!memchr(e->szName, ',', name) && !memchr(e->szName, '\n', name));
        FUZZ_CHECK(!memchr(e->szHost, ',', host) && !memchr(e->szHost, '\n', host));
        FUZZ_CHECK(e->nPort >= 0 && e->nPort <= 0xFFFF);
        FUZZ_CHECK(e->nAddressLength == 0);
    }
}

} // namespace

extern "C" int QV_FUZZ_ENTRY(const uint8_t* data, size_t size)
{
    // The pool's path names a file that is never made: an empty list must not be
    // saved, and nothing else here touches the disk.
    static qvfuzz::TempFolder folder("serverlist");
    if (!folder.Ok()) return 0;
    static const std::string path = folder.File("servers.txt");

    CServerPool pool(path);
    const bool loaded = pool.LoadText((const char*)data, size);
    FUZZ_CHECK(loaded == (pool.GetCount() > 0));
    CheckEntries(pool);
    pool.UpdateChecksum();
    FUZZ_CHECK(pool.GetChecksum() == CServerPool::Checksum(pool.GetEntry(0), pool.GetCount()));

    if (!loaded) {
        FUZZ_CHECK(!pool.Save());
        FUZZ_CHECK(!qvfuzz::PathExists(path));
    } else {
        const std::string saved = pool.SaveText();
        CServerPool again(path);
        FUZZ_CHECK(again.LoadText(saved.data(), saved.size()));
        again.UpdateChecksum();
        FUZZ_CHECK(again.GetCount() == pool.GetCount());
        FUZZ_CHECK(again.GetChecksum() == pool.GetChecksum());
        for (int i = 0; i < pool.GetCount(); i++) {
            FUZZ_CHECK(strcmp(again.GetEntry(i)->szName, pool.GetEntry(i)->szName) == 0);
            FUZZ_CHECK(strcmp(again.GetEntry(i)->szHost, pool.GetEntry(i)->szHost) == 0);
            FUZZ_CHECK(again.GetEntry(i)->nPort == pool.GetEntry(i)->nPort);
        }
        FUZZ_CHECK(again.SaveText() == saved);
    }

    // The defaults come back whole after anything.
    pool.SetDefaults();
    FUZZ_CHECK(pool.GetCount() == 1 && strcmp(pool.GetEntry(0)->szName, "x!Relay") == 0);
    return 0;
}
