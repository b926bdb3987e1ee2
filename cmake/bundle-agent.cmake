# Makes the single-file build of the agent that quellix --attach sends into a
# process through node's inspector, and the C++ source that embeds it in the
# binary. Run as a script, so that building never needs node:
#
#   cmake -DAGENT_DIR=agent -DOUT_JS=bundle.js -DOUT_CC=bundle.cc -P bundle-agent.cmake
#
# The build is one JavaScript expression: a function that holds every module
# of agent/lib and the package.json, each as the function body it would be
# wrapped in by node's own loader, with a small require that resolves the
# agent's relative names among them and hands every other name (node's
# built-ins) to the require of the scope it is evaluated in. Evaluated with
# the target's require (Runtime.evaluate, includeCommandLineAPI), it runs
# lib/attach.js and yields its result. A worker that an agent module starts
# from one of its own files starts from the same function's source instead
# (new Worker(source, { eval: true })): the target's file system need not
# hold the agent at all.
cmake_minimum_required(VERSION 3.16)

foreach(var AGENT_DIR OUT_JS OUT_CC)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "bundle-agent.cmake: ${var} is not set")
  endif()
endforeach()

file(GLOB lib_files RELATIVE "${AGENT_DIR}" "${AGENT_DIR}/lib/*.js")
list(SORT lib_files)
if(NOT "lib/attach.js" IN_LIST lib_files)
  message(FATAL_ERROR "bundle-agent.cmake: ${AGENT_DIR}/lib/attach.js is missing")
endif()

set(modules "")
foreach(file package.json ${lib_files})
  file(READ "${AGENT_DIR}/${file}" text)
  if(file MATCHES "\\.json$")
    string(APPEND modules "    '${file}': function (exports, require, module) {\nmodule.exports = ${text};\n    },\n")
  else()
    string(APPEND modules
           "    '${file}': function (exports, require, module, __filename, __dirname) {\n${text}\n    },\n")
  endif()
endforeach()

set(prelude [==[// kestrun-agent, single-file build for quellix --attach (generated from agent/).
(function kestrunAgentBundle(entry) {
  'use strict';
  const hostRequire = require;
  // The modules' directory as they see it: no file lies there, and a worker
  // of one of these files is started from this function's source.
  const ROOT = '/kestrun-agent-bundle';
  const sources = {
]==])

set(loader [==[  };
  const cache = Object.create(null);

  // A relative request of the module in directory dir, as an id of sources.
  function resolve(dir, request) {
    if (!request.startsWith('./') && !request.startsWith('../')) return null;
    const parts = dir ? dir.split('/') : [];
    for (const part of request.split('/')) {
      if (part === '..') parts.pop();
      else if (part !== '.' && part !== '') parts.push(part);
    }
    const id = parts.join('/');
    for (const candidate of [id, `${id}.js`, `${id}.json`]) {
      if (Object.prototype.hasOwnProperty.call(sources, candidate)) return candidate;
    }
    throw new Error(`kestrun-agent bundle: cannot find ${request} from ${dir || '.'}`);
  }

  // worker_threads, whose Worker starts a bundled file from this source.
  let workerThreads = null;
  function bundledWorkerThreads() {
    if (workerThreads) return workerThreads;
    const real = hostRequire('worker_threads');
    class Worker extends real.Worker {
      constructor(filename, options) {
        const name = typeof filename === 'string' && filename.startsWith(`${ROOT}/`) ? filename.slice(ROOT.length + 1) : null;
        if (name !== null && Object.prototype.hasOwnProperty.call(sources, name)) {
          super(`(${kestrunAgentBundle})(${JSON.stringify(name)});`, Object.assign({}, options, { eval: true }));
        } else {
          super(filename, options);
        }
      }
    }
    workerThreads = Object.assign({}, real, { Worker });
    return workerThreads;
  }

  function load(id) {
    if (cache[id]) return cache[id].exports;
    const module = { exports: {}, id };
    cache[id] = module;
    const dir = id.includes('/') ? id.slice(0, id.lastIndexOf('/')) : '';
    const localRequire = (request) => {
      if (request === 'worker_threads') return bundledWorkerThreads();
      const found = resolve(dir, request);
      return found === null ? hostRequire(request) : load(found);
    };
    sources[id].call(module.exports, module.exports, localRequire, module, `${ROOT}/${id}`, dir ? `${ROOT}/${dir}` : ROOT);
    return module.exports;
  }

  if (entry === 'attach') return load('lib/attach.js').start();
  load(entry);
  return undefined;
})('attach')
]==])

file(WRITE "${OUT_JS}.tmp" "${prelude}${modules}${loader}")
file(RENAME "${OUT_JS}.tmp" "${OUT_JS}")

# The same bytes as a C++ array; a NUL ends it, so that it is also a string.
file(READ "${OUT_JS}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])"
       "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
file(WRITE "${OUT_CC}.tmp"
     "// Generated by cmake/bundle-agent.cmake from agent/: the single-file build of\n"
     "// the agent that quellix --attach evaluates in a Node.js process.\n"
     "#include <stddef.h>\n\n"
     "extern const unsigned char kAgentBundle[];\n"
     "extern const size_t kAgentBundleSize;\n"
     "const unsigned char kAgentBundle[] = {\n${hex}0x00};\n"
     "const size_t kAgentBundleSize = ${size};\n")
file(RENAME "${OUT_CC}.tmp" "${OUT_CC}")
