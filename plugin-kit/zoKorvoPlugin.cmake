# The plugin author kit for CMake: zo_korvo_plugin(<target>) turns a MODULE
# library into a plugin the service can load, replace and unload.
#
#     include(/usr/local/share/zoKorvoRemoteService/zoKorvoPlugin.cmake)
#     add_library(myplugin MODULE myplugin.cpp)
#     zo_korvo_plugin(myplugin)
#
# It gives the target:
# - the include path of <zoKorvoRemoteService/zoKorvoPlugin.h>, from the
#   installation this file came with or from the source tree it lies in;
# - hidden visibility, so that only the entry points the kit's macros mark
#   are exported and no two plugins bind to each other's helpers;
# - for C++ with GCC, -fno-gnu-unique: a GNU unique symbol (what GCC makes of
#   a template's or an inline function's static data, std::to_string's
#   included) makes the loader keep the library mapped for ever, so that its
#   Cleanup and close do not unload it and a reload cannot replace it;
# - -Wl,--no-undefined: a symbol the service's RTLD_NOW would not resolve at
#   load time is an error at link time.
set(ZO_KORVO_PLUGIN_KIT_DIR ${CMAKE_CURRENT_LIST_DIR})

function(zo_korvo_plugin target)
    if(EXISTS ${ZO_KORVO_PLUGIN_KIT_DIR}/include/zoKorvoRemoteService/zoKorvoPlugin.h)
        set(kitInclude ${ZO_KORVO_PLUGIN_KIT_DIR}/include)
    else()
        # Installed as <prefix>/share/zoKorvoRemoteService/zoKorvoPlugin.cmake.
        get_filename_component(kitInclude ${ZO_KORVO_PLUGIN_KIT_DIR}/../../include ABSOLUTE)
    endif()
    target_include_directories(${target} PRIVATE ${kitInclude})
    set_target_properties(${target} PROPERTIES
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_compile_options(${target} PRIVATE
        $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<CXX_COMPILER_ID:GNU>>:-fno-gnu-unique>)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
endfunction()
