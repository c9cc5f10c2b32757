// LOGIN.DAT: the last login, kept in the data folder between runs.
#pragma once
#include <cstdint>
#include <string>

struct LoginData {
    std::string systemName;
    std::string password;     // stored as typed, not encoded
    uint32_t lastAddress = 0; // last direct address, socket-address order
    uint32_t optionsExpanded = 0;
    uint32_t rememberLogin = 1;
    uint32_t sizeClass = 2;
};

// Reads fields 1 to 8 into data. Each field is taken only when it was read
// completely; reading stops at the first field that cannot be, so a short or
// damaged file leaves that field and every later one as they were. Strings in
// either stored form (narrow or UTF-16) are accepted; an absurd length is refused
// without allocating. False when the file cannot be opened (data untouched).
bool ReadLoginFile(const std::string& path, LoginData& data);

// Replaces the file with the nine fields. With rememberLogin 0 the name, password,
// last address and the remember field are written cleared. True when every byte
// reached the file.
bool WriteLoginFile(const std::string& path, const LoginData& data);
