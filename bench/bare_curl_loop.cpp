// The yardstick of the scoring bench: the same completion requests our SDK sends, made with bare
// libcurl (one reused handle, no JSON parsing, no retries), timed per request.
//   bench_bare_curl <url> <bodies file: one JSON body per line> <requests> [Header: value]...
// Prints one line: "<requests> <seconds per request>".
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

size_t keep(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_bare_curl URL BODIES_FILE REQUESTS [HEADER]...\n");
        return 2;
    }
    const std::string url = argv[1];
    std::vector<std::string> bodies;
    std::ifstream file(argv[2]);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty()) bodies.push_back(line);
    }
    const long requests = std::strtol(argv[3], nullptr, 10);
    if (bodies.empty() || requests <= 0) {
        std::fprintf(stderr, "bench_bare_curl: no bodies or no requests\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    for (int i = 4; i < argc; ++i) headers = curl_slist_append(headers, argv[i]);
    headers = curl_slist_append(headers, "Expect:");
    std::string answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);

    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < requests; ++i) {
        const std::string& body = bodies[static_cast<size_t>(i) % bodies.size()];
        answer.clear();
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status), status != 200)) {
            std::fprintf(stderr, "bench_bare_curl: request %ld failed (HTTP %ld)\n", i, status);
            return 1;
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%ld %.9f\n", requests, elapsed.count() / static_cast<double>(requests));
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return 0;
}
