# Assembles build/Quorvel.app. The bundle keeps the folder names of its original layout
# (Contents/MacOS, Contents/Resources) so one layout serves every platform.

set(QUORVEL_BUNDLE_ID "org.quorvel.Quorvel")
# The publisher team whose signature an update must carry (the organisational unit of the
# signing certificate); a release build sets its own.
set(QUORVEL_TEAM_ID "QRVL000000" CACHE STRING "team identifier that updates must be signed by")
set(QUORVEL_APP_DIR ${CMAKE_BINARY_DIR}/Quorvel.app)

find_program(NODE_EXECUTABLE node REQUIRED)
find_program(RSVG_CONVERT rsvg-convert REQUIRED)

# The icon in the hicolor theme's layout: the drawing itself, and pictures of it at the sizes
# that trays and older menus ask for.
set(QUORVEL_ICON_SIZES 16 24 32 48 64 128 256)
function(quorvel_icon_files out)
  set(icons ${CMAKE_BINARY_DIR}/bundle/icons/hicolor)
  set(svg ${PROJECT_SOURCE_DIR}/app/icons/quorvel.svg)
  set(files ${icons}/scalable/apps/quorvel.svg)
  add_custom_command(OUTPUT ${icons}/scalable/apps/quorvel.svg
    COMMAND ${CMAKE_COMMAND} -E copy ${svg} ${icons}/scalable/apps/quorvel.svg
    DEPENDS ${svg} VERBATIM)
  foreach(size IN LISTS QUORVEL_ICON_SIZES)
    set(png ${icons}/${size}x${size}/apps/quorvel.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${icons}/${size}x${size}/apps
      COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${svg}
      DEPENDS ${svg} VERBATIM)
    list(APPEND files ${png})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# Registers a tool executable that the bundle carries in Contents/Resources/bin.
function(quorvel_bundle_tool target)
  set_property(GLOBAL APPEND PROPERTY QUORVEL_BUNDLE_TOOLS ${target})
endfunction()

function(quorvel_add_bundle_target)
  get_property(tools GLOBAL PROPERTY QUORVEL_BUNDLE_TOOLS)
  set(contents ${QUORVEL_APP_DIR}/Contents)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Info.plist.in ${CMAKE_BINARY_DIR}/bundle/Info.plist @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/quorvel.desktop.in
                 ${CMAKE_BINARY_DIR}/bundle/quorvel.desktop @ONLY)
  quorvel_icon_files(icon_files)
  add_custom_target(bundle_icons DEPENDS ${icon_files})
  set(tool_copies)
  foreach(tool IN LISTS tools)
    list(APPEND tool_copies
         COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${tool}> ${contents}/Resources/bin/)
  endforeach()
  # node is copied, not linked: the bundle must stay whole when it is moved.
  add_custom_target(bundle
    COMMAND ${CMAKE_COMMAND} -E make_directory ${contents}/MacOS ${contents}/Resources/bin
            ${contents}/Resources/app/server ${contents}/Resources/yt-dlp
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_BINARY_DIR}/bundle/Info.plist ${contents}/
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Quorvel> ${contents}/MacOS/Quorvel
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${NODE_EXECUTABLE} ${contents}/Resources/bin/node
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/app/server ${contents}/Resources/app/server
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_BINARY_DIR}/bundle/quorvel.desktop
            ${contents}/Resources/
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_BINARY_DIR}/bundle/icons ${contents}/Resources/icons
    ${tool_copies}
    # Sealed last, ad hoc, as any build from source is.
    COMMAND bundlesign seal ${QUORVEL_APP_DIR}
    DEPENDS Quorvel bundlesign bundle_icons ${tools}
    COMMENT "Assembling ${QUORVEL_APP_DIR}"
    VERBATIM)
endfunction()

# The release archive, build/Quorvel-VERSION-linux-ARCH.tar.gz: the bundle and install.sh. It is
# signed when the environment names the keys (scripts/release.sh says which).
function(quorvel_add_release_target)
  add_custom_target(release
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/release.sh
    DEPENDS bundle
    COMMENT "Making the release archive"
    VERBATIM)
endfunction()
