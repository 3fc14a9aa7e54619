// The manual pages against the option tables the programs are built from:
// every option that --help lists is in the page's SYNOPSIS and OPTIONS, and
// the page names no option the program lacks.
#include <fcntl.h>
#include <regex>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

// The source tree, for the manual pages (set by the build).
#if !defined(OVREL_SOURCE_DIR)
#define OVREL_SOURCE_DIR "."
#endif

namespace {

// What `binary --help` writes to standard error.
std::string help_of(const std::string& binary)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return "";
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(pipe_ends[1], 2);
        close(pipe_ends[0]);
        execl(binary.c_str(), binary.c_str(), "--help", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_ends[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_ends[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return text;
}

// The long options of the lines after "Options:", as "--name".
std::set<std::string> help_options(const std::string& help)
{
    std::set<std::string> names;
    const size_t table = help.find("\nOptions:\n");
    const std::regex line("\n  (--[a-z-]+)");
    for (std::sregex_iterator i(help.begin() + static_cast<long>(table == std::string::npos ? help.size() : table),
                                help.end(), line);
         i != std::sregex_iterator(); ++i)
        names.insert((*i)[1]);
    return names;
}

// The long options a section of the page names, "Fl -name" in the source
// (Fl writes the first dash).
std::set<std::string> page_options(const std::string& page, const std::string& section, const char* macro)
{
    std::set<std::string> names;
    const size_t start = page.find("\n.Sh " + section + "\n");
    if (start == std::string::npos)
        return names;
    const size_t end = page.find("\n.Sh ", start + 1);
    const std::string text = page.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::regex line(std::string("\n") + macro + "[^\n]*");
    const std::regex flag("Fl (-[a-z][-a-z]*)");
    for (std::sregex_iterator i(text.begin(), text.end(), line); i != std::sregex_iterator(); ++i) {
        const std::string found = i->str();
        for (std::sregex_iterator f(found.begin(), found.end(), flag); f != std::sregex_iterator(); ++f)
            names.insert("-" + (*f)[1].str());
    }
    return names;
}

TEST(Manual, SynopsisAndOptionsMatchTheOptionTables)
{
    const std::string bench = OVREL_BINARY;
    const std::string compare = bench.substr(0, bench.rfind('/') + 1) + "ovrel-compare";
    const struct {
        std::string binary;
        const char* page;
    } programs[] = {{bench, "/docs/ovrel-bench.1"}, {compare, "/docs/ovrel-compare.1"}};
    for (const auto& program : programs) {
        const std::set<std::string> options = help_options(help_of(program.binary));
        ASSERT_GE(options.size(), 8u) << program.binary;
        const std::string page = read_file(std::string(OVREL_SOURCE_DIR) + program.page);
        // The SYNOPSIS names options in .Op lines and in a second form's
        // .Fl line (".Nm", ".Fl -version").
        std::set<std::string> synopsis = page_options(page, "SYNOPSIS", "\\.(Op|Fl)");
        EXPECT_EQ(synopsis, options) << program.page << " SYNOPSIS";
        EXPECT_EQ(page_options(page, "OPTIONS", "\\.It"), options) << program.page << " OPTIONS";
    }
}

} // namespace
