// The interface as `kestrune methods --json` lists it: one object per method of the table.
#pragma once

#include <nlohmann/json.hpp>

#include "com/method_table.h"

namespace kestrune::host {

// needsPin tells whether a call takes the user's PIN or a pass phrase: a parameter that
// carries one, or a login among its effects.
bool needsPin(const com::Method& method);

// methodAsJson describes a method with stable field names:
//   {"dispid": 18, "name": "loadLib", "parameters": [{"name": "libname", "kind": "text"}],
//    "result": {"kind": "I4", "name": "rtn"}, "effects": ["configures"], "needsPin": false}
// kinds are "text", "I4" or "none" (a result's name is null then); effects are the method
// table's names, in its order.
nlohmann::ordered_json methodAsJson(const com::Method& method);

// methodsAsJson is the array of every method, in interface order.
nlohmann::ordered_json methodsAsJson();

}  // namespace kestrune::host
