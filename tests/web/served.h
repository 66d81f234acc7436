// hexflash serve as a child process, and plain HTTP requests to it: the
// request line goes out as written, so that a path such as /../../etc/passwd
// reaches the server as it is.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string head;
    std::string body;
};

// Sends `request` (whole, with its blank line) to 127.0.0.1:`port` and reads
// the answer until the server closes the connection.
HttpAnswer http_exchange(int port, const std::string& request);
// "METHOD PATH HTTP/1.1" with Host and Connection: close.
HttpAnswer http(int port, const std::string& method, const std::string& path);

class Served {
  public:
    // Runs `program` `args` (argv[0] first), standard error to `screen`, and
    // waits (up to 20 s) for the line that says where it serves.
    Served(const std::vector<std::string>& args, std::string screen);
    ~Served();
    Served(const Served&) = delete;
    Served& operator=(const Served&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string screen() const;
    // SIGINT, then the exit status (-1 when it had to be killed).
    int stop();

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string screen_;
};
