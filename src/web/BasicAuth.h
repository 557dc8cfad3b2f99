#pragma once
#include <optional>
#include <string>

struct TBasicCredentials {
  std::string User;
  std::string Password;
};

// Whether an Authorization header value offers Basic credentials: the scheme
// "Basic" (any case) and a token after it. Other schemes (Bearer, Digest) and
// a bare "Basic" offer none, and the request counts as one without credentials.
bool OffersBasicCredentials(const std::string& iHeaderValue);

// The user and password of an "Authorization: Basic ..." header value;
// nothing when the value is not of that scheme or does not decode.
std::optional<TBasicCredentials> ParseBasicAuthorization(const std::string& iHeaderValue);
