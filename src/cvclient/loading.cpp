#include "cvclient/client.hpp"

namespace corvane::client {

py::object load_df_from_cvdb(py::object self, py::object key) {
    // The server is trusted: whatever it holds under the key is unpickled. A missing key gives
    // None, which pickle rejects with TypeError.
    py::object data_ = self.attr("r").attr("get")(key);
    return global("pickle").attr("loads")(data_);
}

}  // namespace corvane::client
