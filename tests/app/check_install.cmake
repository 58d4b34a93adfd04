# Installs the build into a fresh prefix and checks that the program, the
# menu entry, the icon and the project file type land where desktops look.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/stelp bin/stelp-cli share/applications/stelp.desktop
             share/icons/hicolor/scalable/apps/stelp.svg share/mime/packages/stelp-mime.xml)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
