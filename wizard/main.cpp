// tablewright: the desktop wizard that converts an Access database into MySQL/MariaDB and/or
// an SQL script file.
#include "tablewright/model/UniqueFd.h"
#include "tablewright/window/Frm_Conversion.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char* kUsage =
    R"(Usage: tablewright [-?|--help] [-V|--version] [Qt options]

Opens the wizard window that converts a Microsoft Access database (.mdb, .accdb) into a
MySQL/MariaDB server and/or an SQL script file. The window is in Simplified Chinese and takes
every setting on its pages; tablewright-cli does the same on the command line.

Options:
  -?, --help      show this help and exit
  -V, --version   show the version and exit
Qt's own options are accepted as well, e.g. -platform offscreen or -style NAME.

Environment:
  DISPLAY, WAYLAND_DISPLAY  the display the window opens on (QT_QPA_PLATFORM picks another
                            platform, e.g. offscreen)
  MYSQL_UNIX_PORT           the Unix socket that host localhost at port 3306 reaches
                            (default /run/mysqld/mysqld.sock)
)";

/// How to get a display; `program` is the name the window was started by (argv[0]), so that
/// the commands name it as the user does (build/tablewright, tablewright, /usr/bin/tablewright).
std::string HowToGetADisplay(const std::string& program) {
    return "  On a desktop, start it from a terminal of the desktop session.\n"
           "  Over ssh, connect with X forwarding: ssh -X host\n"
           "  Without any display, use a virtual one:\n"
           "    xvfb-run -s '-screen 0 1024x768x24' " +
           program + "\n  The command-line tool needs no display: " + program + "-cli --help\n";
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

/// Whether a local X server listens on the socket of display `number` (file or abstract name).
bool LocalXServerAnswers(const std::string& number) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    for (const bool abstract : {true, false}) {
        const tw::data::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd)
            return true; // cannot tell; let the toolkit try
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
        const bool connected =
            ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
        if (connected)
            return true;
    }
    return false;
}

/// Whether an X server answers on TCP port 6000 + display number of `host`.
bool RemoteXServerAnswers(const std::string& host, const std::string& number) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(6000 + std::atoi(number.c_str()));
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0)
        return false;
    bool connected = false;
    for (addrinfo* entry = found; entry && !connected; entry = entry->ai_next) {
        const tw::data::UniqueFd fd(
            ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
        if (!fd)
            continue;
        connected = ::connect(fd.Get(), entry->ai_addr, entry->ai_addrlen) == 0;
    }
    ::freeaddrinfo(found);
    return connected;
}

/// Whether the X display named by DISPLAY ("[host]:number[.screen]") answers; forms that are
/// not understood count as answering, so the toolkit decides.
bool XDisplayAnswers(const std::string& display) {
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos || (!display.empty() && display.front() == '/'))
        return true;
    const std::string host = display.substr(0, colon);
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return true;
    if (host.empty() || host == "unix")
        return LocalXServerAnswers(number);
    return RemoteXServerAnswers(host, number);
}

/// Explains how to get a display when the window has none; false when it has one.
bool ExplainMissingDisplay(const std::string& program) {
    if (!Environment("QT_QPA_PLATFORM").empty() || !Environment("WAYLAND_DISPLAY").empty())
        return false;
    const std::string display = Environment("DISPLAY");
    if (display.empty()) {
        std::fprintf(stderr,
                     "tablewright: no display to open the window on (DISPLAY and "
                     "WAYLAND_DISPLAY are unset).\n%s",
                     HowToGetADisplay(program).c_str());
        return true;
    }
    if (!XDisplayAnswers(display)) {
        std::fprintf(stderr, "tablewright: the display %s does not answer.\n%s", display.c_str(),
                     HowToGetADisplay(program).c_str());
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // Help and version need no display; they are answered before the toolkit starts.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-?") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version" || arg == "-V") {
            std::printf("tablewright %s\n", TABLEWRIGHT_VERSION);
            return 0;
        }
    }
    const std::string program = argc > 0 && argv[0][0] != '\0' ? argv[0] : "tablewright";
    if (ExplainMissingDisplay(program))
        return 2;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tablewright"));
    // The standard dialogs and menus speak the window's language; without Qt's translations
    // installed they stay in English.
    tw::window::InstallQtTranslations();
    tw::window::Frm_Conversion window;
    window.show();
    return QApplication::exec();
}
