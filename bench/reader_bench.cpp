// Reader throughput: our scanner+parser (comments captured) against LibYAML's
// event parser, same inputs, same process, one after the other.
//
//   reader_bench [corpus dir]   (default: the corpus of the test data,
//                               found as the tests find it)
//   reader_bench --write DIR [corpus dir]
//                               writes both inputs to DIR (corpus.yaml,
//                               generated.yaml) instead of timing them
//   reader_bench --once FILE [libyaml]
//                               one untimed parse of FILE, for instruction
//                               counts under callgrind (which are stable
//                               where timings on a shared machine are not)
//
// Inputs: every corpus file joined into one stream of documents, and a
// generated ~10 MB configuration-like document with comments.
#include <yaml.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "../tests/support/test_data.hpp"
#include "core/parser.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tesvorn;
using Clock = std::chrono::steady_clock;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Count {
    std::size_t events = 0;
    std::size_t comments = 0;
    bool ok = true;
};

Count run_ours(const std::string& text) {
    Count c;
    TextParser parser{TextSource(text)};
    Event event;
    Marker mark;
    for (;;) {
        if (!parser.parse_into(event, mark).ok()) {
            c.ok = false;
            return c;
        }
        // What a driver does: take the comments set aside with each event.
        auto& pending = parser.pending_comments();
        c.comments += pending.size();
        pending.clear();
        ++c.events;
        if (event.type == Event::Type::StreamEnd) return c;
    }
}

Count run_libyaml(const std::string& text) {
    Count c;
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    for (;;) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event)) {
            c.ok = false;
            break;
        }
        ++c.events;
        const bool end = event.type == YAML_STREAM_END_EVENT;
        yaml_event_delete(&event);
        if (end) break;
    }
    yaml_parser_delete(&parser);
    return c;
}

// Best of several timed rounds, each at least ~0.3 s of repeated parses.
double mb_per_s(const std::string& text, const std::function<Count(const std::string&)>& fn) {
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        int reps = 0;
        const auto start = Clock::now();
        double elapsed = 0;
        do {
            fn(text);
            ++reps;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < 0.3);
        best = std::max(best, static_cast<double>(text.size()) * reps / elapsed / 1e6);
    }
    return best;
}

// A configuration-like document: nested mappings and sequences, comments,
// quoted and block scalars, flow collections.
std::string generated_document(std::size_t target_bytes) {
    std::string out = "# Service catalogue (generated for the reader benchmark)\n";
    out += "version: 3\nservices:\n";
    for (int i = 0; out.size() < target_bytes; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "%05d", i);
        out +=
            "  # service " + std::string(id) + ", owned by team " + std::to_string(i % 17) + "\n";
        out += "  svc-" + std::string(id) + ":\n";
        out += "    name: service-" + std::string(id) + "\n";
        out += "    image: \"registry.example.com/team-" + std::to_string(i % 17) + "/app:1." +
               std::to_string(i % 10) + ".3\"\n";
        out += "    replicas: " + std::to_string(1 + i % 5) + "  # scaled by load\n";
        out += "    enabled: " + std::string(i % 3 ? "true" : "false") + "\n";
        out += "    ports:\n      - 8080\n      - 8443 # tls\n";
        out += "    labels: {tier: backend, zone: eu-west-" + std::to_string(i % 3) + "}\n";
        out += "    env:\n";
        out += "      - name: LOG_LEVEL\n        value: info\n";
        out += "      - name: TIMEOUT\n        value: '30s'\n";
        out += "    # health checks\n";
        out += "    healthcheck:\n      path: /healthz\n      interval: 10s\n      retries: 3\n";
        out += "    description: >\n      Handles requests for the " + std::string(id) +
               " endpoint and\n      forwards them to the storage tier.\n";
        out += "    script: |\n      set -e\n      echo starting " + std::string(id) +
               "\n      exec /app/server --port 8080\n";
        out += "    tags: [web, \"api\", internal]\n\n";
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--once") {
        const std::string text = read_file(args[1]);
        const bool libyaml = args.size() > 2 && args[2] == "libyaml";
        const Count c = libyaml ? run_libyaml(text) : run_ours(text);
        std::printf("%s: %zu events, %zu comments%s\n", libyaml ? "LibYAML" : "tesvorn", c.events,
                    c.comments, c.ok ? "" : " (parse failed)");
        return c.ok ? 0 : 1;
    }
    fs::path write_dir;
    if (args.size() >= 2 && args[0] == "--write") {
        write_dir = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    fs::path corpus;
    if (!args.empty()) {
        corpus = args[0];
    } else if (const auto found = tesvorn::test_support::test_data("corpus")) {
        corpus = *found;
    } else {
        std::printf("%s: the corpus stream is left out\n\n",
                    tesvorn::test_support::test_data_missing("corpus").c_str());
    }

    std::vector<fs::path> files;
    if (fs::is_directory(corpus)) {
        for (const auto& e : fs::recursive_directory_iterator(corpus)) {
            const auto ext = e.path().extension();
            if (e.is_regular_file() && (ext == ".yaml" || ext == ".yml")) files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());

    // One stream: each file is a document of its own, opened by "---" (or by
    // its own directives) and closed by "..." (LibYAML wants an explicit
    // start after an explicit end). Files either parser rejects are left
    // out, to compare equal work.
    std::string stream;
    int skipped = 0;
    for (const fs::path& f : files) {
        std::string text = read_file(f);
        if (!text.empty() && text.back() != '\n') text += '\n';
        text += "...\n";
        bool taken = false;
        for (const std::string& piece : {"---\n" + text, text}) {
            if (run_ours(piece).ok && run_libyaml(piece).ok) {
                stream += piece;
                taken = true;
                break;
            }
        }
        if (!taken) ++skipped;
    }

    struct Input {
        const char* name;
        std::string text;
    };
    std::vector<Input> inputs;
    if (!stream.empty()) inputs.push_back({"corpus (one stream)", std::move(stream)});
    inputs.push_back({"generated config", generated_document(10u << 20)});

    std::printf("corpus: %zu files, %d left out (rejected by one of the parsers)\n\n", files.size(),
                skipped);
    if (!write_dir.empty()) {
        for (const Input& in : inputs) {
            const char* name = in.name[0] == 'c' ? "corpus.yaml" : "generated.yaml";
            std::ofstream(write_dir / name, std::ios::binary) << in.text;
        }
        return 0;
    }
    std::printf("%-22s %9s %10s %9s %12s %12s %7s\n", "input", "MB", "events", "comments",
                "tesvorn MB/s", "LibYAML MB/s", "ratio");
    for (const Input& in : inputs) {
        const Count ours = run_ours(in.text);
        const Count theirs = run_libyaml(in.text);
        if (!ours.ok || !theirs.ok) {
            std::printf("%s: parse failed (tesvorn %d, LibYAML %d)\n", in.name, ours.ok, theirs.ok);
            return 1;
        }
        const double a = mb_per_s(in.text, run_ours);
        const double b = mb_per_s(in.text, run_libyaml);
        std::printf("%-22s %9.2f %10zu %9zu %12.1f %12.1f %6.2fx\n", in.name, in.text.size() / 1e6,
                    ours.events, ours.comments, a, b, a / b);
        if (ours.events != theirs.events)
            std::printf("  note: event counts differ (tesvorn %zu, LibYAML %zu)\n", ours.events,
                        theirs.events);
    }
    return 0;
}
