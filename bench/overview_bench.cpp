// What the overview cache costs and saves on one large group: a full XOVER
// from cold files, the same again from memory, a short XOVER at the end of
// the group, the first XOVER after one new article, and the memory held.
//
//     overview_bench [--articles N] [--dir PARENT] [--reps R]
//
// N articles (default 100,000) of ~2 KB are written into a fresh group
// directory below PARENT (default: the current directory; a temporary
// directory is used and removed). Figures are medians of R runs (default 5).

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "reader/OverviewCache.h"

namespace {

double Ms(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void WriteArticle(const std::string& dir, long n) {
    const std::string id = "bench" + std::to_string(n) + "@example.invalid";
    std::string a = "220 " + std::to_string(n) + " <" + id + ">\r\n";
    a += "Path: bench!not-for-mail\r\nFrom: Bench <bench@example.invalid>\r\nNewsgroups: "
         "bench.big\r\n";
    a += "Subject: Re: article number " + std::to_string(n) + " of the overview benchmark\r\n";
    a += "Date: Mon, 1 Jan 2024 10:00:00 GMT\r\nMessage-ID: <" + id + ">\r\n";
    a += "References: <bench" + std::to_string(n / 2) + "@example.invalid> <bench" +
         std::to_string(n - 1) + "@example.invalid>\r\nLines: 30\r\n\r\n";
    for (int i = 0; i < 30; ++i)
        a += "Body line of some length, enough to make the article a realistic size.\r\n";
    a += ".\r\n";
    std::ofstream(dir + "/" + id, std::ios::binary) << a;
    char index[32];
    std::snprintf(index, sizeof index, "/NEWS%010ld", n);
    std::ofstream(dir + index, std::ios::binary) << dir << "/" << id << "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    long articles = 100000;
    int reps = 5;
    std::string parent = ".";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--articles"))
            articles = std::atol(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--dir"))
            parent = argv[i + 1];
        else if (!std::strcmp(argv[i], "--reps"))
            reps = std::atoi(argv[i + 1]);
    }
    if (articles < 100 || reps < 1) {
        std::fprintf(stderr,
                     "usage: overview_bench [--articles N>=100] [--dir PARENT] [--reps R]\n");
        return 2;
    }
    std::string tmpl = parent + "/qv-overview-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = tmpl;
    const std::string dir = root + "/bench.big";
    std::filesystem::create_directories(dir);
    std::printf("writing %ld articles into %s ...\n", articles, dir.c_str());
    std::fflush(stdout);
    for (long n = 1; n <= articles; ++n) WriteArticle(dir, n);

    std::vector<long> all;
    std::string out;
    out.reserve(static_cast<std::size_t>(articles) * 300);
    const auto fullXover = [&](OverviewCache& c) {
        out.clear();
        const auto numbers = c.Numbers(dir);
        c.AppendOverviews(dir, *numbers, 0, static_cast<std::size_t>(-1), out);
    };
    const auto tailXover = [&](OverviewCache& c) {
        out.clear();
        const auto numbers = c.Numbers(dir);
        c.AppendOverviews(dir, *numbers, numbers->size() - 100, static_cast<std::size_t>(-1), out);
    };

    for (const bool watching : {true, false}) {
        std::vector<double> cold, warm, tail, afterAdd;
        std::size_t bytes = 0;
        for (int r = 0; r < reps; ++r) {
            OverviewCache cache;
            if (!watching) {
                cache.DisableWatching();
                cache.SetClock(
                    [] { return std::time(nullptr) + 100; });  // all files count as settled
            }
            cold.push_back(Ms([&] { fullXover(cache); }));
            warm.push_back(Ms([&] { fullXover(cache); }));
            tail.push_back(Ms([&] { tailXover(cache); }));
            WriteArticle(dir, articles + 1 + r);
            afterAdd.push_back(Ms([&] { fullXover(cache); }));
            bytes = cache.Bytes();
        }
        std::printf(
            "%s: full XOVER cold %.1f ms, warm %.1f ms; last 100 warm %.3f ms; "
            "full XOVER after one new article %.1f ms; cache %.1f MB (%zu bytes of output)\n",
            watching ? "change reports" : "identity checks", Median(cold), Median(warm),
            Median(tail), Median(afterAdd), static_cast<double>(bytes) / (1024 * 1024), out.size());
    }
    std::filesystem::remove_all(root);
    return 0;
}
