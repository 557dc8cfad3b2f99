#pragma once
#include <optional>
#include <string>

struct TBasicCredentials {
  std::string User;
  std::string Password;
};

// The user and password of an "Authorization: Basic ..." header value;
// nothing when the value is not of that scheme or does not decode.
std::optional<TBasicCredentials> ParseBasicAuthorization(const std::string& iHeaderValue);
