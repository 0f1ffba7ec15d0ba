# The web application's third-party files come from npm, pinned by www/package-lock.json: the
# build runs `npm ci` in a folder of the build tree (never in the sources) and the install puts
# the files the pages load under www/vendor/, so the application works offline and the Debian
# package carries them. npm keeps its download cache, so only the first build needs the registry.

find_program(KINETRA_NPM npm)
if(NOT KINETRA_NPM)
    message(FATAL_ERROR "npm not found: tools/setup.sh installs it (the web application's "
                        "plot library comes from npm)")
endif()

set(KINETRA_WEB_PACKAGES ${PROJECT_BINARY_DIR}/web-packages)
file(MAKE_DIRECTORY ${KINETRA_WEB_PACKAGES})
set(web_manifest ${PROJECT_SOURCE_DIR}/www/package.json ${PROJECT_SOURCE_DIR}/www/package-lock.json)
# npm ci rewrites node_modules/.package-lock.json: the stamp that the install is current.
add_custom_command(
    OUTPUT ${KINETRA_WEB_PACKAGES}/node_modules/.package-lock.json
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${web_manifest} ${KINETRA_WEB_PACKAGES}
    COMMAND ${KINETRA_NPM} ci --omit=dev --ignore-scripts --prefer-offline --no-audit --no-fund
            --loglevel=error
    WORKING_DIRECTORY ${KINETRA_WEB_PACKAGES}
    DEPENDS ${web_manifest}
    COMMENT "npm ci: the web application's packages"
    VERBATIM)
add_custom_target(web_packages ALL DEPENDS ${KINETRA_WEB_PACKAGES}/node_modules/.package-lock.json)

set(uplot ${KINETRA_WEB_PACKAGES}/node_modules/uplot)
install(FILES ${uplot}/dist/uPlot.esm.js ${uplot}/dist/uPlot.min.css ${uplot}/LICENSE
        DESTINATION www/vendor/uplot)
