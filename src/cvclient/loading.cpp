#include "cvclient/client.hpp"

namespace corvane::client {

py::object load_df_from_cvdb(py::object self, py::object key) {
    // A value runs no code of its own while it loads: only pandas' and numpy's rebuilders are
    // admitted. A missing key gives None, which is rejected with TypeError.
    py::object data_ = self.attr("r").attr("get")(key);
    return restricted_loads(data_);
}

}  // namespace corvane::client
