#include "core/store_layout.hpp"

#include <filesystem>
#include <system_error>

namespace corvane::core::layout {

namespace fs = std::filesystem;

namespace {

std::string parent_of(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string name_of(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string lock_path_for(const std::string &data_path) {
    std::string category_directory = parent_of(data_path);
    std::string root = parent_of(category_directory);
    std::string lock = std::string(state_directory) + "/locks/" + name_of(category_directory) + "/" +
                       name_of(data_path) + ".lock";
    return root == "/" ? "/" + lock : root + "/" + lock;
}

std::string digest_record_path(const std::string &file_path) {
    std::error_code error;
    fs::path file = fs::absolute(fs::path(file_path), error).lexically_normal();
    if (error) {
        // Without a working directory there is no root to keep the record under.
        return std::string();
    }
    fs::path category = file.parent_path();
    fs::path root = category.parent_path();
    return (root / state_directory / digest_directory / category.filename() / (file.filename().string() + digest_suffix)).string();
}

}  // namespace corvane::core::layout
