#pragma once

namespace quickio::frame {

// Imports numpy and checks that its core types are types at least as large
// as the instance records of the headers this module was built against.
// False with an exception set when the import or a check fails.
bool check_numpy_types();

}  // namespace quickio::frame
