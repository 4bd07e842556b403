#include "support/NginxServerFixture.h"

#include <unistd.h>

namespace quillate::testing {

void TNginxServer::Start() {
    const auto& dir = FDir.Path();
    std::filesystem::create_directories(dir / "www");
    std::filesystem::create_directories(dir / "tmp");
    FPort = StartOnFreePort(FProcess, "nginx", [&](std::uint16_t port) {
        const std::string d = dir.string();
        const std::string temp = d + "/tmp;";
        // Run as root, nginx hands its worker to "nobody", who cannot enter our private folder.
        WriteTextFile(dir / "nginx.conf",
                      std::string("daemon off;\n") + (::geteuid() == 0 ? "user root;\n" : "") +
                          "worker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
                          "/error.log;\nevents {}\nhttp {\n  access_log off;\n  client_body_temp_path " + temp +
                          "\n  proxy_temp_path " + temp + "\n  fastcgi_temp_path " + temp +
                          "\n  uwsgi_temp_path " + temp + "\n  scgi_temp_path " + temp +
                          "\n  server { listen 127.0.0.1:" + std::to_string(port) + "; root " + d +
                          "/www; sendfile on; }\n}\n");
        // -e: the error log of the start, before the configuration is read, goes here too.
        return ServerOptions({"/usr/sbin/nginx", "-c", d + "/nginx.conf", "-p", d, "-e", d + "/error.log"},
                             port);
    });
}

} // namespace quillate::testing
