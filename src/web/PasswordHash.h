#pragma once
#include <string>

// The stored form of a web user's password: MD5 of a fixed salt followed by
// the password, as 32 upper-case hexadecimal digits. Only this form is kept.
std::string PasswordHash(const std::string& iPassword);
