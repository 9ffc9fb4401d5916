#include "hosting/service_identity.h"

#include <cctype>

#include "config/data_dir.h"
#include "tablestore/sdb_table.h"

namespace tw {

std::string ServiceNameFor(const std::string& dataDir) {
  SdbTable table;
  std::string name = kDefaultServiceName;
  if (table.Open(DataFilePath(dataDir, "service.sdb"))) {
    std::string description = table.Description();
    if (!description.empty()) name = description;
    table.Close();
  }
  return name;
}

std::string UnitName(const std::string& serviceName) {
  std::string out;
  for (char c : serviceName) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == ' ')
      out += '-';
    else if (std::isalnum(u) || c == '-' || c == '_' || c == '.')
      out += static_cast<char>(std::tolower(u));
  }
  return out.empty() ? "kestrane" : out;
}

}  // namespace tw
