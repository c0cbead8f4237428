#include "HardwareModel.h"

#include <fstream>

namespace {

std::string firstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace

const std::string& HardwareModel::name() {
  static const std::string model = [] {
    std::string product = firstLine("/sys/class/dmi/id/product_name");
    return product.empty() ? firstLine("/sys/firmware/devicetree/base/model") : product;
  }();
  return model;
}
