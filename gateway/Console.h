// The web console: one page and its script and style sheet, bundled into the binary at
// configure time. The files hold no data; every call the page makes carries the API's token.
#pragma once

#include <string>

#include "Http.h"

namespace velkor::gateway {

// The page's three files, as they are in gateway/console/.
const char* ConsolePage();
const char* ConsoleScript();
const char* ConsoleStyle();

// True for the paths the console is served at ("/", "/console.js", "/console.css"); these
// need no token.
bool IsConsolePath(const std::string& path);

// Adds GET (and so HEAD) for the console's paths to `router`, outside its documented routes.
void AddConsoleRoutes(Router& router);

}  // namespace velkor::gateway
