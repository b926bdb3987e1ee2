# quellix_agent_bundle(TARGET AGENT_DIR): a static library TARGET that holds
# the single-file build of the agent in AGENT_DIR, made at build time by
# cmake/bundle-agent.cmake from whatever agent/lib holds then (a new file
# there re-runs the configure). The JavaScript lands next to it as
# kestrun-agent-attach.js, for reading and for the tests.
set(QUELLIX_BUNDLE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/bundle-agent.cmake")

function(quellix_agent_bundle target agent_dir)
  file(GLOB sources CONFIGURE_DEPENDS "${agent_dir}/lib/*.js")
  set(js "${CMAKE_CURRENT_BINARY_DIR}/kestrun-agent-attach.js")
  set(cc "${CMAKE_CURRENT_BINARY_DIR}/kestrun_agent_bundle.cc")
  add_custom_command(
    OUTPUT "${js}" "${cc}"
    COMMAND "${CMAKE_COMMAND}" "-DAGENT_DIR=${agent_dir}" "-DOUT_JS=${js}" "-DOUT_CC=${cc}"
            -P "${QUELLIX_BUNDLE_SCRIPT}"
    DEPENDS ${sources} "${agent_dir}/package.json" "${QUELLIX_BUNDLE_SCRIPT}"
    COMMENT "Bundling the agent for --attach"
    VERBATIM)
  add_library(${target} STATIC "${cc}")
endfunction()
