#pragma once
// The stream the HTTP library works on for one request: it reads the request
// that the front end has already received whole, and writes the reply to the
// connection's socket, gathered into large sends, each of which must make
// progress within the write time-out.
#include <httplib.h>

#include <chrono>
#include <string>

class TSocketStream final : public httplib::Stream {
public:
  TSocketStream(int iSocket, std::string iRequest, std::chrono::milliseconds iWriteTimeout);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* oData, size_t iSize) override;
  ssize_t write(const char* iData, size_t iSize) override;
  void get_remote_ip_and_port(std::string& oIP, int& oPort) const override;
  void get_local_ip_and_port(std::string& oIP, int& oPort) const override;
  socket_t socket() const override { return fSocket; }

  // Sends what is gathered; false when the client did not take it in time.
  bool Flush();
  // Writes a whole reply of its own (for requests the library does not see).
  bool WriteReply(const std::string& iReply);

private:
  bool SendAll(const char* iData, size_t iSize);

  const int fSocket;
  const std::string fRequest;
  size_t fReadPos = 0;
  const std::chrono::milliseconds fWriteTimeout;
  std::string fOut;
  bool fStatusLineSeen = false;
  bool fFailed = false;
};
