#include "loginfile.h"

#include "../util/qvfile.h"

// Each field is taken as soon as it was read whole; the first that cannot be read
// ends the reading, because after one damaged field the positions of the later
// ones mean nothing.
static void ReadFields(CQVFile& file, LoginData& data)
{
    // Temporaries: a failed string read leaves its target undefined.
    std::string name, password;
    if (!file.ReadString(&name)) return;
    data.systemName = name;
    if (!file.ReadString(&password)) return;
    data.password = password;
    // The numbers in file order; null for the two the launcher writes as 0 and
    // never reads back.
    uint32_t* const numbers[] = {nullptr, &data.lastAddress, &data.optionsExpanded, &data.rememberLogin,
                                 nullptr, &data.sizeClass};
    for (uint32_t* target : numbers) {
        uint32_t value = 0;
        if (!file.ReadInt32(&value)) return;
        if (target) *target = value;
    }
}

bool ReadLoginFile(const std::string& path, LoginData& data)
{
    CQVFile file(path);
    if (!file.Open(CQVFile::OpenRead, 0)) return false;
    ReadFields(file, data);
    file.Close();
    return true;
}

bool WriteLoginFile(const std::string& path, const LoginData& data)
{
    CQVFile file(path);
    if (!file.Open(CQVFile::OpenCreate, 0)) return false;
    const bool remember = data.rememberLogin != 0;
    bool ok = file.WriteString(remember ? data.systemName : std::string());
    ok = ok && file.WriteString(remember ? data.password : std::string());
    ok = ok && file.WriteInt32(0);
    ok = ok && file.WriteInt32(remember ? data.lastAddress : 0);
    ok = ok && file.WriteInt32(data.optionsExpanded);
    ok = ok && file.WriteInt32(remember ? 1 : 0);
    ok = ok && file.WriteInt32(0);
    ok = ok && file.WriteInt32(data.sizeClass);
    ok = ok && file.WriteInt32(data.rememberLogin);
    // Close would swallow a failed final write; flush first to see it.
    ok = file.Flush() && ok;
    file.Close();
    return ok;
}
