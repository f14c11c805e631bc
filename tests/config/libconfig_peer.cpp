// The reference side of the interoperability tests: reads and writes files
// with Debian's libconfig++, whose format the settings file speaks. It is a
// separate program because that library's classes live in namespace libconfig
// too and must never meet ours in one binary.
//
// Tree text, one setting per line, tab separated:
//   <dotted path> \t <kind> \t <value>
// kinds: group (value: child count), int, int64, float (%.17g), bool (0/1),
// string (hex bytes), other (arrays and lists, value: child count).
//
//   libconfig_peer dump <file>   prints the tree of <file>; exit 2 and
//                                "error\t<line>\t<message>" on a parse error
//   libconfig_peer write <file>  builds the tree read from stdin and writes it

#include <libconfig.h++>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

std::string fromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

void dump(const libconfig::Setting& group, const std::string& prefix)
{
    for (int i = 0; i < group.getLength(); ++i) {
        const libconfig::Setting& child = group[i];
        const std::string path = prefix + child.getName();
        std::cout << path << '\t';
        switch (child.getType()) {
        case libconfig::Setting::TypeGroup:
            std::cout << "group\t" << child.getLength() << '\n';
            dump(child, path + ".");
            continue;
        case libconfig::Setting::TypeInt:
            std::cout << "int\t" << static_cast<int>(child);
            break;
        case libconfig::Setting::TypeInt64:
            std::cout << "int64\t" << static_cast<long long>(child);
            break;
        case libconfig::Setting::TypeFloat: {
            char text[64];
            std::snprintf(text, sizeof text, "%.17g", static_cast<double>(child));
            std::cout << "float\t" << text;
            break;
        }
        case libconfig::Setting::TypeBoolean:
            std::cout << "bool\t" << (static_cast<bool>(child) ? 1 : 0);
            break;
        case libconfig::Setting::TypeString:
            std::cout << "string\t" << toHex(child.c_str());
            break;
        default:
            std::cout << "other\t" << child.getLength();
            break;
        }
        std::cout << '\n';
    }
}

libconfig::Setting& parentOf(libconfig::Setting& root, const std::string& path, std::string& name)
{
    const std::string::size_type dot = path.rfind('.');
    name = dot == std::string::npos ? path : path.substr(dot + 1);
    return dot == std::string::npos ? root : root.lookup(path.substr(0, dot));
}

void build(libconfig::Setting& root, std::istream& in)
{
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string path, kind, value;
        std::getline(fields, path, '\t');
        std::getline(fields, kind, '\t');
        std::getline(fields, value);
        std::string name;
        libconfig::Setting& parent = parentOf(root, path, name);
        if (kind == "group")
            parent.add(name, libconfig::Setting::TypeGroup);
        else if (kind == "int")
            parent.add(name, libconfig::Setting::TypeInt) = std::stoi(value);
        else if (kind == "int64")
            parent.add(name, libconfig::Setting::TypeInt64) = std::stoll(value);
        else if (kind == "float")
            parent.add(name, libconfig::Setting::TypeFloat) = std::strtod(value.c_str(), nullptr);
        else if (kind == "bool")
            parent.add(name, libconfig::Setting::TypeBoolean) = (value == "1");
        else if (kind == "string")
            parent.add(name, libconfig::Setting::TypeString) = fromHex(value);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: libconfig_peer dump|write <file>\n";
        return 64;
    }
    const std::string command = argv[1];
    libconfig::Config config;
    try {
        if (command == "dump") {
            config.readFile(argv[2]);
            dump(config.getRoot(), "");
            return 0;
        }
        if (command == "write") {
            build(config.getRoot(), std::cin);
            config.writeFile(argv[2]);
            return 0;
        }
    } catch (const libconfig::ParseException& error) {
        std::cout << "error\t" << error.getLine() << '\t' << error.getError() << '\n';
        return 2;
    } catch (const libconfig::ConfigException& error) {
        std::cerr << "libconfig_peer: " << error.what() << '\n';
        return 3;
    }
    std::cerr << "libconfig_peer: unknown command " << command << '\n';
    return 64;
}
