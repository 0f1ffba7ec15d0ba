// Runs the browser example's script outside a browser, for the examples test:
//   node run_browser_example.js SCRIPT SERVER [LINK_ID]
// Needs a global WebSocket (Node 22, or Node 20/21 with --experimental-websocket).
const fs = require("fs");
const vm = require("vm");

vm.runInThisContext(fs.readFileSync(process.argv[2], "utf8"), { filename: process.argv[2] });
kinetraExample.pairAndMove(process.argv[3], process.argv[4], console.log).then(
  () => process.exit(0),
  (error) => {
    console.error(`error: ${error.message}`);
    process.exit(1);
  },
);
