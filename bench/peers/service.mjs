// SPDX-License-Identifier: Apache-2.0
// The in-memory service work shared by the node:http comparison servers: projects, users,
// devices and their access tokens, with the attach answer the library decodes. Plain Maps,
// random 128-bit IDs, the same checks of the body as the service makes.

import { randomBytes } from 'node:crypto';

export const BODY_LIMIT = 64 * 1024;

export class RequestError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

export function newId() {
  return randomBytes(16).toString('hex');
}

// "Basic <client id>:" → the client ID, or '' when malformed.
export function clientIdOf(authorization) {
  if (typeof authorization !== 'string' || !authorization.startsWith('Basic ')) return '';
  const rest = authorization.slice(6);
  if (rest.length < 2 || !rest.endsWith(':')) return '';
  const id = rest.slice(0, -1);
  return id.includes(':') ? '' : id;
}

export function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > BODY_LIMIT) {
        reject(new RequestError(413, 'body too large'));
        req.destroy();
        return;
      }
      chunks.push(chunk);
    });
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

export function parseObject(text) {
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    throw new RequestError(400, 'body is not valid JSON');
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value))
    throw new RequestError(400, 'body must be a JSON object');
  return value;
}

export function sendJSON(res, status, value) {
  const text = JSON.stringify(value);
  res.writeHead(status, {
    'Content-Type': 'application/json',
    'Content-Length': Buffer.byteLength(text),
  });
  res.end(text);
}

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

const LIMIT_KEYS = ['overall_limit', 'mobile_limit', 'tablet_limit', 'computer_limit'];

export class Service {
  constructor() {
    this.projects = new Map(); // client ID → { settings, users: Map(user → Map(vendor → device)) }
    this.devices = new Map(); // device ID → device
  }

  configureProject(body) {
    const clientId = body.client_id;
    if (typeof clientId !== 'string' || clientId === '')
      throw new RequestError(400, 'client_id must be a non-empty string');
    let project = this.projects.get(clientId);
    if (!project) {
      project = {
        settings: { name: '', overall_limit: 3, mobile_limit: 0, tablet_limit: 0, computer_limit: 0,
          block_over_usage: false },
        users: new Map(),
      };
      this.projects.set(clientId, project);
    }
    for (const key of LIMIT_KEYS) {
      if (key in body) {
        if (!Number.isInteger(body[key]) || body[key] < 0 || body[key] > 1_000_000)
          throw new RequestError(400, `${key} must be an integer from 0 to 1000000`);
        project.settings[key] = body[key];
      }
    }
    if ('name' in body) project.settings.name = String(body.name ?? '');
    if (typeof body.block_over_usage === 'boolean')
      project.settings.block_over_usage = body.block_over_usage;
    return { success: true, project: { client_id: clientId, ...project.settings } };
  }

  // The attach of POST /v2/access; the answer, or a RequestError.
  attach(clientId, body) {
    const project = this.projects.get(clientId);
    if (!project) throw new RequestError(401, 'unknown client ID');
    const user = body.user;
    if (typeof user !== 'string' || user === '' || user.length > 256)
      throw new RequestError(400, 'user must be a non-empty string');
    const info = body.device_info;
    if (!isObject(info)) throw new RequestError(400, 'device_info must be an object');
    const signals = body.signals;
    if (!isObject(signals) || typeof signals.iosVendorIdentifier !== 'string')
      throw new RequestError(400, 'signals.iosVendorIdentifier must be a string');
    const metadata = body.metadata ?? {};
    if (typeof metadata !== 'object') throw new RequestError(400, 'metadata must be an object');
    const type = ['mobile', 'tablet', 'computer'].includes(info.device?.type)
      ? info.device.type
      : 'mobile';

    let devices = project.users.get(user);
    if (!devices) {
      devices = new Map();
      project.users.set(user, devices);
    }
    const vendor = signals.iosVendorIdentifier;
    let device = devices.get(vendor);
    if (!device) {
      device = { id: newId(), clientId, user, type, accesses: new Set(), info, metadata };
      devices.set(vendor, device);
      this.devices.set(device.id, device);
    }
    device.info = info;
    device.metadata = metadata;
    device.updatedAt = new Date().toISOString();
    const access = newId();
    device.accesses.add(access);
    if (device.accesses.size > 8) device.accesses.delete(device.accesses.values().next().value);
    return {
      success: true,
      device_id: device.id,
      access,
      attached_devices: devices.size,
      block_over_usage: project.settings.block_over_usage,
      default_device_limit: project.settings.overall_limit,
    };
  }
}
