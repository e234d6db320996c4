// pci_ids_gen LIST OUTPUT: turns a pci.ids list into the C++ source of the
// built-in PCI name table. Exits 1 with a message naming the line when the
// list is malformed, and then leaves no output behind.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "pci/pci_ids_parser.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: pci_ids_gen LIST OUTPUT\n";
        return 2;
    }
    const std::string list_path = argv[1];
    const std::string output_path = argv[2];
    std::ifstream in(list_path, std::ios::binary);
    std::ostringstream list;
    if (!in || !(list << in.rdbuf())) {
        std::cerr << "pci_ids_gen: cannot read " << list_path << "\n";
        return 1;
    }
    pci_name_data data;
    std::string error;
    if (!parse_pci_ids(list.str(), data, error)) {
        std::cerr << list_path << ": " << error << "\n";
        std::remove(output_path.c_str());
        return 1;
    }
    // Written beside the output and renamed, so a failed run never leaves a
    // half-written source that the build would take as up to date.
    const std::string partial = output_path + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << pci_name_source(data, "pci.ids");
        if (!out.flush()) {
            std::cerr << "pci_ids_gen: cannot write " << partial << "\n";
            std::remove(partial.c_str());
            return 1;
        }
    }
    if (std::rename(partial.c_str(), output_path.c_str()) != 0) {
        std::cerr << "pci_ids_gen: cannot rename " << partial << " to " << output_path << "\n";
        std::remove(partial.c_str());
        return 1;
    }
    return 0;
}
