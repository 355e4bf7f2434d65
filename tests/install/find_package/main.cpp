// Built with find_package(verimex): verifies the address given and prints
// returnvar. Uses the C++ class, and the C interface through the same target.
#include <verimex/quoverimex.h>
#include <verimex/verimex.h>

#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: find_package_host ADDRESS\n";
        return 2;
    }
    if (verimex_version(nullptr) == nullptr)
        return 1;
    verimex::quoverimex v;
    v.email(argv[1]);
    v.from("cmake-host.test");
    v.timeout(5);
    try {
        v.check();
    } catch (const std::exception& e) {
        std::cerr << "find_package_host: " << e.what() << '\n';
        return 1;
    }
    std::cout << v.returnvar() << '\n';
    return 0;
}
