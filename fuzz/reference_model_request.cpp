// A request to the reference model server, "<METHOD> <path>" on the first line and the body after
// it, answered by the server's routes.
#include "reference_model/server.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::reference_model;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ServiceConfig config;
    const auto [request_line, body] = velora::fuzz::cut_at(velora::fuzz::text_of(data, size), '\n');
    const auto [method, path] = velora::fuzz::cut_at(request_line, ' ');
    handle(config, ServiceRequest{std::string(method), std::string(path), {}, std::string(body)});
    return 0;
}
