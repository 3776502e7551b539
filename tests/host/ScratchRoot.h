// A temporary simulated-Mac root for the tests of the host's Foundation half:
// points SIMMAC_ROOT at a fresh folder and puts everything back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace hosttest {

class ScratchRoot {
public:
    ScratchRoot() {
        if (const char* old = std::getenv("SIMMAC_ROOT")) previous_ = old;
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "tarnwick-host-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "cannot create a temporary folder";
        root_ = tmpl;
        setenv("SIMMAC_ROOT", root_.c_str(), 1);
    }
    ~ScratchRoot() {
        if (previous_)
            setenv("SIMMAC_ROOT", previous_->c_str(), 1);
        else
            unsetenv("SIMMAC_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
    std::optional<std::string> previous_;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

}  // namespace hosttest
