# Fails when the base library lets Qt Widgets in: through its link interface (include folders,
# definitions or libraries the probe is built with) or through a QtWidgets/ include in a base
# source, which the Qt include root would otherwise let compile.
if(NOT GENERATOR MATCHES "Ninja")
    message(FATAL_ERROR "the wall check reads the Ninja build commands; configure with -G Ninja")
endif()

execute_process(COMMAND ${MAKE_PROGRAM} -C ${BUILD_DIR} -t commands inkboat_wall_probe
    RESULT_VARIABLE rc OUTPUT_VARIABLE commands ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT commands MATCHES "inkboat_wall_probe")
    message(FATAL_ERROR "cannot read the commands of inkboat_wall_probe: ${err}")
endif()
string(REGEX MATCHALL "[^ \n]*([Ww]idgets|WIDGETS)[^ \n]*" hits "${commands}")
if(hits)
    list(REMOVE_DUPLICATES hits)
    message(FATAL_ERROR "inkboat_base brings in Qt Widgets: ${hits}")
endif()

file(GLOB_RECURSE sources ${BASE_DIR}/*.h ${BASE_DIR}/*.cpp)
foreach(f ${sources})
    file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]QtWidgets")
    if(lines)
        message(FATAL_ERROR "${f} includes Qt Widgets: ${lines}")
    endif()
    # Widgets, icons and pixmaps are the GUI's: a base header that only declares one still hands
    # it down, and a pixmap made under a QCoreApplication aborts the process.
    file(STRINGS ${f} lines REGEX "(^|[^A-Za-z0-9_])Q(Widget|Icon|Pixmap)([^A-Za-z0-9_]|$)")
    if(lines)
        message(FATAL_ERROR "${f} names a widget, an icon or a pixmap: ${lines}")
    endif()
endforeach()
message(STATUS "inkboat_base and everything built on it alone stay free of Qt Widgets")
