#include "loginfile.h"

#include "../util/qvfile.h"

bool ReadLoginFile(const std::string& path, LoginData& data)
{
    CQVFile file(path);
    if (!file.Open(CQVFile::OpenRead, 0)) return false;
    // Read into temporaries: a failed string read leaves its target undefined, and
    // after one damaged field the positions of the later ones mean nothing.
    std::string name, password;
    uint32_t unused = 0, value = 0;
    do {
        if (!file.ReadString(&name)) break;
        data.systemName = name;
        if (!file.ReadString(&password)) break;
        data.password = password;
        if (!file.ReadInt32(&unused)) break;
        if (!file.ReadInt32(&value)) break;
        data.lastAddress = value;
        if (!file.ReadInt32(&value)) break;
        data.optionsExpanded = value;
        if (!file.ReadInt32(&value)) break;
        data.rememberLogin = value;
        if (!file.ReadInt32(&unused)) break;
        if (!file.ReadInt32(&value)) break;
        data.sizeClass = value;
    } while (false);
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
