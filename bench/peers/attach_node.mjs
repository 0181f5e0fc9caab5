// SPDX-License-Identifier: Apache-2.0
// The comparison server of the attach benchmark: node:http doing the attach's JSON work in
// memory (parse and check the body, find or add the user and device, fresh access token,
// answer). Prints "attach-node listening on <base URL>".
//
//   node attach_node.mjs [port]      (0 or nothing: any free port on 127.0.0.1)

import { createServer } from 'node:http';
import {
  RequestError, Service, clientIdOf, parseObject, readBody, sendJSON,
} from './service.mjs';

const service = new Service();

async function handle(req, res) {
  const path = req.url.split('?')[0];
  if (req.method === 'POST' && (path === '/admin/projects' || path === '/_sandbox/project'))
    return sendJSON(res, 200, service.configureProject(parseObject(await readBody(req))));
  if (req.method === 'POST' && path === '/v2/access') {
    const clientId = clientIdOf(req.headers.authorization);
    if (!clientId) throw new RequestError(401, 'missing or malformed Authorization header');
    return sendJSON(res, 200, service.attach(clientId, parseObject(await readBody(req))));
  }
  throw new RequestError(404, 'not found');
}

const server = createServer((req, res) => {
  handle(req, res).catch((error) => {
    const status = error instanceof RequestError ? error.status : 500;
    if (!res.headersSent) sendJSON(res, status, { success: false, error: error.message });
  });
});
server.keepAliveTimeout = 60_000;
server.listen(Number(process.argv[2] ?? 0), '127.0.0.1', () => {
  console.log(`attach-node listening on http://127.0.0.1:${server.address().port}`);
});
process.on('SIGTERM', () => process.exit(0));
