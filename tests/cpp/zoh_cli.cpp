// Reads "Ts n_num num... n_den den..." per line (decimal or hex-float) and
// writes "n num... n den..." in %a, or "error: <message>" for a refused
// system, so a script can hold korvel::zoh against SciPy without a binding.
#include <korvel/zoh.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

bool read_vector(std::istringstream& in, std::vector<double>& v) {
    std::size_t n = 0;
    if (!(in >> n)) return false;
    v.resize(n);
    for (double& x : v) {
        std::string tok;
        if (!(in >> tok)) return false;
        char* end = nullptr;
        x = std::strtod(tok.c_str(), &end); // operator>> does not take hex-floats
        if (*end != '\0') return false;
    }
    return true;
}

void print_vector(const std::vector<double>& v) {
    std::printf("%zu", v.size());
    for (double x : v)
        std::printf(" %a", x);
}

} // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::vector<double> num, den;
        std::string tok;
        if (!(in >> tok)) continue;
        const double Ts = std::strtod(tok.c_str(), nullptr);
        if (!read_vector(in, num) || !read_vector(in, den)) {
            std::printf("error: malformed line\n");
            continue;
        }
        try {
            const korvel::DiscreteTf d = korvel::zoh(num, den, Ts);
            print_vector(d.num);
            std::printf(" ");
            print_vector(d.den);
            std::printf("\n");
        } catch (const std::invalid_argument& e) {
            std::printf("error: %s\n", e.what());
        }
        std::fflush(stdout);
    }
}
