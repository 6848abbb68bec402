#include "cvclient/client.hpp"

namespace corvane::client {

py::object load_df_from_cvdb(py::object self, py::object key) {
    // A value is loaded in the client's worker process, never here. A missing key gives None, which
    // is rejected with TypeError.
    py::object data_ = self.attr("r").attr("get")(key);
    return sandboxed_loads(self, key, data_);
}

}  // namespace corvane::client
