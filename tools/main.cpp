// torvex: command-line tools for the camera's picture formats.
#include <string>

#include "tools/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"Tools for the camera's compressed picture formats.", "torvex"};
    app.set_version_flag("--version", "torvex " TORVEX_VERSION);
    app.require_subcommand(1);
    app.footer("Run torvex SUBCOMMAND --help for the arguments of one subcommand.");
    torvex::tools::AddEncodeFrameCommand(app);
    torvex::tools::AddDecodeFrameCommand(app);
    torvex::tools::AddEncodeStillCommand(app);
    torvex::tools::AddDecodeStillCommand(app);
#ifdef TORVEX_HAVE_CAPTURE
    torvex::tools::AddCaptureCommand(app);
#endif
    torvex::tools::AddDemoCommand(app);
    // Name an unknown subcommand instead of only asking for one.
    if (argc > 1 && argv[1][0] != '-' && app.get_subcommands([&](CLI::App* c) { return c->check_name(argv[1]); }).empty()) {
        std::string known;
        for (const CLI::App* c : app.get_subcommands({})) known += (known.empty() ? "" : ", ") + c->get_name();
        torvex::tools::PrintProblem(argv[1], "unknown subcommand (try " + known + ")");
        return 1;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version: printed to standard output
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        torvex::tools::PrintProblem("", e.what());
        return 1;
    } catch (const torvex::tools::CommandError& e) {
        torvex::tools::PrintProblem("", e.what());
        return 1;
    } catch (const std::exception& e) {  // a fault of torvex itself, not of the input
        torvex::tools::PrintProblem("internal error", e.what());
        return 2;
    }
    return 0;
}
