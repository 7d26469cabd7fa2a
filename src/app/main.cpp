#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "api/CurlGlobal.hpp"
#include "app/Client.hpp"

int main(int argc, char** argv) {
    try {
        CurlGlobal curl;  // before any thread exists
        return runClient(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "Quorvanta Client error: " << e.what() << "\n";
        return 1;
    }
}
