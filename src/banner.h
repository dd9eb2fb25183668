// Fixed texts with which each program introduces itself.
#pragma once

const char* linkerBanner();
const char* librarianBanner();
const char* hexConverterBanner();
const char* codConverterBanner();
const char* codConverterVersion();
const char* noticeBanner();

// Unless quiet: the banner line, the notice line and an empty line.
void printStartBanner(const char* banner);
