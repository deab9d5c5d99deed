// What the real layers' backends share: servers on 127.0.0.1 and a folder of real files.
#pragma once

#include <filesystem>

#include "tests/contract/backend.h"

namespace contract {

class RealBackend : public Backend {
 public:
  RealBackend();
  ~RealBackend() override;
  std::unique_ptr<Peer> serve(std::vector<PeerStep> steps, bool refuse) override;
  std::string folder() override;
  void write(const std::string& name, const std::string& content, bool hidden = false) override;
  void makeFolder(const std::string& name) override;
  std::optional<std::string> read(const std::string& name) override;
  std::vector<std::string> names() override;
  void writeProgram(const std::string& name, bool executable) override;
  std::optional<std::string> started() override;

 private:
  std::filesystem::path Path(const std::string& name) const;
  std::filesystem::path folder_;
};

}  // namespace contract
