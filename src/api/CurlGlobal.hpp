#pragma once

// libcurl's process-wide set-up. curl_global_init is not thread-safe, so main owns one of
// these and creates it before any thread exists.
class CurlGlobal {
  public:
    CurlGlobal();  // throws std::runtime_error when libcurl cannot initialise
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};
