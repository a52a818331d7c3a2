// Per-object cost of the datagram parser on typical ~100-byte objects of 4 to
// 6 members, parsed (and the Row destroyed) in a tight loop.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "flat_json.hpp"

int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::atol(argv[1]) : 2000000;
    const std::vector<std::string> objects = {
        R"({"seq":1234567,"timestamp":1700000123456,"sym":"AAPL","px":123.45,"qty":250,"side":"buy"})",
        R"({"order_id":"o-77812345","timestamp":1700000123457,"symbol":"MSFT","price":101.07,"size":17})",
        R"({"user":"user-48213","timestamp":1700000123458,"event":"page_click","latency_ms":12.5})",
        R"({"sensor":"sensor-0042","value":21.375,"unit":"celsius","ok":true,"battery_pct":87})",
    };
    std::size_t bytes = 0;
    for (const auto& o : objects) bytes += o.size();
    std::size_t fields = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; ++i) {
        const std::string& o = objects[static_cast<std::size_t>(i) % objects.size()];
        auto row = ravik::parse_flat_json_object(o);
        fields += row ? row->size() : 0;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.1f ns per object (mean size %.0f bytes, %zu fields parsed)\n",
                static_cast<double>(ns) / static_cast<double>(iterations),
                static_cast<double>(bytes) / static_cast<double>(objects.size()), fields);
    return 0;
}
