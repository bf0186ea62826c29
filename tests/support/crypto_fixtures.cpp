#include "support/crypto_fixtures.h"

#include <stdexcept>

#include "support/child_process.h"

namespace tavra::test {

std::string fromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return out;
}

std::string openssl(const std::vector<std::string>& args, std::string_view input) {
  std::vector<std::string> argv{"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult result = runProcess(argv, input);
  if (result.status != 0) {
    throw std::runtime_error("openssl failed: " + result.output + result.errors);
  }
  return result.output;
}

std::string makeKey(const TempTree& tree, const std::string& name,
                    const std::vector<std::string>& keyArgs) {
  const std::string path = tree.path(name);
  std::vector<std::string> args{"genpkey"};
  args.insert(args.end(), keyArgs.begin(), keyArgs.end());
  args.insert(args.end(), {"-out", path});
  openssl(args);
  return path;
}

std::string makeCertificate(const TempTree& tree, const std::string& name,
                            const std::string& keyPath) {
  const std::string path = tree.path(name);
  openssl({"req", "-new", "-x509", "-key", keyPath, "-out", path, "-days", "2", "-subj",
           "/CN=Tavra Test Organisation"});
  return path;
}

}  // namespace tavra::test
