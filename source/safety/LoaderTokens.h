// The dynamic loader's string tokens in a library name that holds a '/':
// $ORIGIN, $LIB and $PLATFORM, each also in braces. The loader replaces them
// before it opens such a name, so whoever judges the name must judge what
// they expand to; an unbraced token ends at a '/' or at the end of the name,
// and any other '$' stays as it is, as the loader leaves it.
//
// Free functions and a plain value; safe from any thread. Nothing throws but
// std::bad_alloc.
#ifndef ZOKORVO_SAFETY_LOADERTOKENS_H
#define ZOKORVO_SAFETY_LOADERTOKENS_H

#include <string>

struct tLoaderTokens {
    std::string origin;    // the directory of the object that asks for the name
    std::string lib;       // the loader's library directory: "lib/x86_64-linux-gnu"
    std::string platform;  // the processor's kind as the kernel names it: "x86_64"
};

// The values of this process's loader for an object the loader knows by
// `objectName` (its link map's name); an empty name is the program itself,
// whose origin is the directory of the executable the kernel ran.
tLoaderTokens loaderTokensFor(const std::string& objectName);

// Whether `name` holds a token at all.
bool hasLoaderToken(const std::string& name);

// `name` with every token replaced. False when a token's value is unknown
// (empty): the loader then opens nothing by that name.
bool expandLoaderTokens(const std::string& name, const tLoaderTokens& values,
                        std::string& expanded);

#endif  // ZOKORVO_SAFETY_LOADERTOKENS_H
