#include "support/https_server.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/crypto_fixtures.h"

namespace tavra::test {

namespace {

constexpr const char* serverScript = R"PY(
import http.server, os, ssl, sys, threading, time

cert, key, root = sys.argv[1], sys.argv[2], sys.argv[3]
threading.Thread(target=lambda: (time.sleep(300), os._exit(0)), daemon=True).start()

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, code, body, headers=(), sized=True):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        if sized:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if code not in (204, 304):
            view = memoryview(body)
            for start in range(0, len(view), 65536):
                self.wfile.write(view[start:start + 65536])

    def do_GET(self):
        parts = self.path.split("?")[0].lstrip("/").split("/")
        port = self.server.server_address[1]
        try:
            if parts[0] == "status":
                self.answer(int(parts[1].split(".")[0]), b"status body")
            elif parts[0] == "bytes":
                size = int(parts[1].split(".")[0])
                self.answer(200, b"a" * size, sized=len(parts) < 3 or parts[2] != "unsized")
            elif parts[0] == "slow":
                time.sleep(float(parts[1]))
                self.answer(200, b"late")
            elif parts[0] == "agent":
                self.answer(200, self.headers.get("User-Agent", "").encode())
            elif parts[0] == "redirect":
                target = "%s://127.0.0.1:%d/%s" % (parts[1], port, "/".join(parts[2:]))
                self.answer(302, b"", headers=[("Location", target)])
            elif parts[0] == "files":
                path = os.path.join(root, *parts[1:])
                if os.path.isfile(path):
                    with open(path, "rb") as f:
                        self.answer(200, f.read())
                else:
                    self.answer(404, b"missing")
            else:
                self.answer(404, b"unknown")
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    def handle_error(self, request, client_address):
        pass

context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server = Server(("127.0.0.1", 0), Handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

}  // namespace

std::string transportErrorText(const std::function<void()>& call) {
  try {
    call();
  } catch (const http::TransportError& error) {
    return error.what();
  } catch (const std::exception& error) {
    ADD_FAILURE() << "another error: " << error.what();
    return "";
  }
  ADD_FAILURE() << "no error";
  return "";
}

bool HTTPSServer::available() {
  return hasProgram("python3") && hasProgram("openssl");
}

HTTPSServer::HTTPSServer(const TempTree& scratch, std::string root) {
  const std::string dir = scratch.mkdir("https-server");
  const std::string caKey = dir + "/ca.key", serverKey = dir + "/server.key";
  const std::string request = dir + "/server.csr", serverCert = dir + "/server.pem";
  const std::string extensions = scratch.write("https-server/ext.cnf",
                                               "subjectAltName=IP:127.0.0.1\n"
                                               "basicConstraints=CA:FALSE\n");
  caFile_ = dir + "/ca.pem";
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
           "-keyout", caKey, "-out", caFile_, "-days", "2", "-subj", "/CN=Tavra Test CA"});
  openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
           serverKey, "-out", request, "-subj", "/CN=127.0.0.1"});
  openssl({"x509", "-req", "-in", request, "-CA", caFile_, "-CAkey", caKey, "-CAcreateserial",
           "-out", serverCert, "-days", "2", "-extfile", extensions});
  process_ = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{"python3", "-c", serverScript, serverCert, serverKey, root});
  const auto line = process_->readLine(std::chrono::seconds(20));
  if (!line || line->empty()) throw std::runtime_error("the test HTTPS server did not start");
  port_ = std::stoi(*line);
}

std::shared_ptr<const http::Client> HTTPSServer::client() const {
  return std::make_shared<http::ModuleClient>(
      http::ModuleClient::Options{.caFile = caFile_, .modulePath = httpModulePath});
}

std::string HTTPSServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace tavra::test
