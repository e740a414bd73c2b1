// Helpers for the core tests: what the library writes to standard error.
// Header-only, so that programs that do not link the test support library
// (the stand-in OpenAL program, the unload test) can use it too.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

namespace nvt {

// Redirects file descriptor 2 into a temporary file until Finish(). A file
// rather than a pipe: a writer can never block on a full pipe while the test
// is not reading.
class StderrCapture {
public:
    StderrCapture()
    {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(2);
        if (file_ && saved_ >= 0)
            dup2(fileno(file_), 2);
    }
    ~StderrCapture() { Finish(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Restores standard error; returns what was written meanwhile, without
    // the lines OpenAL Soft prints about itself ("AL lib: ...").
    std::string Finish()
    {
        if (!file_)
            return text_;
        fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
        rewind(file_);
        char line[4096];
        while (fgets(line, sizeof line, file_))
            if (std::string(line).compare(0, 7, "AL lib:") != 0)
                text_ += line;
        fclose(file_);
        file_ = nullptr;
        return text_;
    }

private:
    FILE *file_ = nullptr;
    int saved_ = -1;
    std::string text_;
};

} // namespace nvt
