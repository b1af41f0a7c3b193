#include "clamd_log.h"

#include <google/protobuf/descriptor.h>

#include "application.pb.h"
#include "proto_error_category.h"

const std::string& cl_clamd_name() {
  static const std::string name = cf_lex_text(*vx::Application_descriptor()->FindValueByNumber(vx::APP_CLAMD));
  return name;
}
