// Every reply line of a raw session of each protocol revision, validated against that revision's
// published JSON Schema: the envelope, the result of the method asked, and a tool's
// structuredContent against the outputSchema the server itself declared for the tool; then a
// background run in each design of MCP tasks, against the schema that defines it, and a 90 s
// verifier behind clients of both designs that give each request 5 s, the 1.x SDK's among them.
// Usage: node schema.test.mjs /abs/path/to/quarry_agent_task /abs/path/to/mcp-schema
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import zlib from 'node:zlib';

import Ajv from 'ajv';
import Ajv2020 from 'ajv/dist/2020.js';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

import { check, finish } from './harness.mjs';

const server = path.resolve(process.argv[2] ?? '');
const schemas = path.resolve(process.argv[3] ?? '');
const MODERN = '2026-07-28';
const LEGACY = ['2024-11-05', '2025-03-26', '2025-06-18', '2025-11-25'];
const KEY = 'io.modelcontextprotocol';

// The validator of one definition of a revision's schema.
function definitions(revision) {
  const schema = JSON.parse(zlib.gunzipSync(fs.readFileSync(path.join(schemas, `${revision}.json.gz`))));
  const modern = schema.$schema.includes('2020-12');
  const ajv = new (modern ? Ajv2020 : Ajv)({ strict: false, validateFormats: false });
  ajv.addSchema(schema, 'mcp');
  return (name) => ajv.getSchema(`mcp#/${modern ? '$defs' : 'definitions'}/${name}`);
}

function assertValid(validate, value, what) {
  assert.ok(validate(value), `${what}: ${JSON.stringify(validate.errors)} in ${JSON.stringify(value)}`);
}

// The server as a child in a fresh directory; each request's reply is the next line not taken.
function rawServer(dir) {
  const child = spawn(server, [], { cwd: dir, stdio: ['pipe', 'pipe', 'inherit'] });
  const [lines, waiting] = [[], []];
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    if (waiting.length > 0) waiting.shift()(line);
    else lines.push(line);
  });
  const send = (message) => child.stdin.write(`${JSON.stringify(message)}\n`);
  const next = () =>
    lines.length > 0 ? Promise.resolve(lines.shift()) : new Promise((resolve) => waiting.push(resolve));
  const reply = (message) => (send(message), next());
  return { send, reply, next, close: () => new Promise((resolve) => child.on('close', resolve).stdin.end()) };
}

// One session of `revision`: requests carry the stateless era's metadata when it has one, and
// every reply is validated as the reply to what was asked.
async function session(revision) {
  const def = definitions(revision);
  const errorEnvelope = def(revision >= '2025-11-25' ? 'JSONRPCErrorResponse' : 'JSONRPCError');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quarry-schema-'));
  const child = rawServer(dir);
  const named = (version) => ({ [`${KEY}/protocolVersion`]: version, [`${KEY}/clientCapabilities`]: {} });
  const meta = revision === MODERN ? named(MODERN) : undefined;
  let id = 0;
  const outputSchemas = new Map();
  const strict = new Ajv2020({ strict: true });

  // Sends a request and validates its reply line, as a success with a `resultName` result or,
  // when that is null, as an error reply of the revision.
  const ask = async (method, params, resultName, envelope = undefined) => {
    id += 1;
    const request = { jsonrpc: '2.0', id, method, params: { _meta: meta, ...params } };
    const reply = JSON.parse(await child.reply(request));
    if (resultName === null) return assertValid(envelope ?? errorEnvelope, reply, `${method} error`);
    assertValid(def('JSONRPCResponse'), reply, `${method} envelope`);
    assertValid(def(resultName), reply.result, `${method} result`);
    return reply.result;
  };
  const call = async (name, args) => {
    const result = await ask('tools/call', { name, arguments: args }, 'CallToolResult');
    if (!result.isError && outputSchemas.has(name)) {
      assertValid(outputSchemas.get(name), result.structuredContent, `${name} structuredContent`);
      assert.deepEqual(result.structuredContent, JSON.parse(result.content[0].text));
    }
    return result;
  };

  if (revision === MODERN) {
    assert.deepEqual((await ask('server/discover', {}, 'DiscoverResult')).supportedVersions, [MODERN]);
  } else {
    const init = { protocolVersion: revision, capabilities: {}, clientInfo: { name: 's', version: '1' } };
    assert.equal((await ask('initialize', init, 'InitializeResult')).protocolVersion, revision);
    child.send({ jsonrpc: '2.0', method: 'notifications/initialized' });
  }
  const { tools } = await ask('tools/list', {}, 'ListToolsResult');
  for (const tool of tools) {
    assert.equal('outputSchema' in tool, revision >= '2025-06-18', `${tool.name} outputSchema`);
    assert.equal('annotations' in tool, revision >= '2025-03-26', `${tool.name} annotations`);
    // A schema no validator can compile is malformed, whatever the MCP schema lets through.
    if (tool.outputSchema) outputSchemas.set(tool.name, strict.compile(tool.outputSchema));
  }
  // A runner's failure and summary while f.txt is not ok, no summary once it is: every member of
  // a verdict (failures, counts, log, and a warning that fewer tests ran) appears.
  const verifier = 'if grep -qx ok f.txt; then echo fine; else echo "FAILED t.py::x - E"; echo "1 failed"; exit 1; fi';
  const started = await call('task_start', { goal: 'g', verify_cmd: verifier, files: ['f.txt'], baseline: true });
  const taskId = JSON.parse(started.content[0].text).task_id;
  const edits = (content) => ({ task_id: taskId, edits: [{ path: 'f.txt', content }] });
  const rejected = JSON.parse((await call('task_propose', edits('no\n'))).content[0].text);
  const kept = JSON.parse((await call('task_propose', edits('ok\n'))).content[0].text);
  const verdicts = revision >= '2025-06-18';
  assert.equal(Boolean(rejected.log && rejected.counts && rejected.failures && kept.warning), verdicts);
  await call('task_history', { task_id: taskId });
  await call('task_history', { task_id: taskId, attempt: 1 });
  await call('task_history', { task_id: taskId, since: 1, outputs: false });
  assert.equal((await call('task_history', { task_id: 'nope' })).isError, true);
  await ask('tools/call', { name: 'task_nope', arguments: {} }, null);
  await ask('task_history', { task_id: taskId }, 'Result');
  if (revision === MODERN) {
    const unsupported = def('UnsupportedProtocolVersionError');
    await ask('tools/list', { _meta: named('2099-01-01') }, null, unsupported);
  } else {
    await ask('ping', {}, 'EmptyResult');
  }
  if (revision === '2025-03-26') {
    const batch = JSON.parse(await child.reply([{ id: 1, method: 'tools/list' }, { id: 2, method: 'ping' }]));
    assertValid(def('JSONRPCBatchResponse'), batch, 'batch');
    assertValid(def('ListToolsResult'), batch[0].result, 'batch tools/list');
  }
  // A user's edit after the last proposal is saved by the restore, and listed.
  fs.writeFileSync(path.join(dir, 'f.txt'), 'mine\n');
  const finished = await call('task_finish', { task_id: taskId, commit: false });
  const [saved] = JSON.parse(finished.content[0].text).saved;
  assert.equal(fs.readFileSync(saved, 'utf8'), 'mine\n');
  await child.close();
  fs.rmSync(dir, { recursive: true, force: true });
}

// A proposal whose verifier runs `seconds` behind a client whose every request times out after
// 5 s, in the 2025-11-25 design or the 2026-07-28 extension (`ext-tasks.json.gz`): the handle at
// once, the task while it runs and once it has ended, the rejected verdict, the cancellations; in
// the core design the list and the status notification too.
async function tasksSession(revision, seconds) {
  const core = revision !== MODERN;
  const [def, ext] = [definitions(revision), definitions('ext-tasks')];
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quarry-schema-'));
  const child = rawServer(dir);
  const capabilities = { [`${KEY}/clientCapabilities`]: { extensions: { [`${KEY}/tasks`]: {} } } };
  const _meta = core ? undefined : { [`${KEY}/protocolVersion`]: MODERN, ...capabilities };
  let id = 0;
  const timeOut = (line) => Promise.race([line, new Promise((_, no) => setTimeout(no, 5000, 'time-out'))]);
  const ask = (method, params) =>
    timeOut(child.reply({ jsonrpc: '2.0', id: ++id, method, params: { _meta, ...params } }));
  const valid = async (line, name, schema = core ? def : ext) => {
    const reply = JSON.parse(await line);
    const whole = name.startsWith('JSONRPC') || name.endsWith('Notification');
    assertValid(schema(name), whole ? reply : reply.result, name);
    return reply.result ?? reply.params;
  };
  const clientInfo = { name: 'c', version: '1' };
  if (core) await ask('initialize', { protocolVersion: revision, capabilities: {}, clientInfo });
  const start = { goal: 'g', verify_cmd: `sleep ${seconds}; false`, files: ['f.txt'] };
  const starting = ask('tools/call', { name: 'task_start', arguments: start });
  const started = await valid(starting, 'CallToolResult', def);
  const edits = { task_id: started.structuredContent.task_id, edits: [{ path: 'f.txt', content: 'x' }] };
  const propose = { name: 'task_propose', arguments: edits, task: core ? {} : undefined };
  const created = await valid(ask('tools/call', propose), 'CreateTaskResult');
  const taskId = core ? created.task.taskId : created.taskId;
  let task = await valid(ask('tasks/get', { taskId }), 'GetTaskResult');
  while (!core && task.status === 'working') {
    await new Promise((resolve) => setTimeout(resolve, task.pollIntervalMs));
    task = await valid(ask('tasks/get', { taskId }), 'GetTaskResult');
  }
  if (core) {
    const notification = await valid(ask('tasks/result', { taskId }), 'TaskStatusNotification');
    assert.equal(notification.status, 'completed');
    task = { status: 'completed', result: await valid(timeOut(child.next()), 'CallToolResult') };
    assert.equal((await valid(ask('tasks/list', {}), 'ListTasksResult')).tasks.length, 1);
  }
  const verdict = [task.status, task.result.isError, task.result.structuredContent.passed];
  assert.deepEqual(verdict, ['completed', undefined, false]);
  await valid(ask('tasks/cancel', { taskId }), core ? 'JSONRPCErrorResponse' : 'CancelTaskResult');
  await valid(ask('tasks/get', { taskId: 'nope' }), 'JSONRPCErrorResponse', def);
  await child.close();
  fs.rmSync(dir, { recursive: true, force: true });
}

// The same verifier through the 1.x SDK's own client of the core design, with the same time-out.
async function sdkStream(seconds) {
  const client = new Client({ name: 'quarry-schema-test', version: '1.0.0' });
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quarry-schema-'));
  await client.connect(new StdioClientTransport({ command: server, args: ['--root', dir] }));
  await client.listTools();
  const start = { goal: 'g', verify_cmd: `sleep ${seconds}; false`, files: ['f.txt'] };
  const { task_id } = (await client.callTool({ name: 'task_start', arguments: start })).structuredContent;
  const edits = [{ path: 'f.txt', content: 'x' }];
  const call = { name: 'task_propose', arguments: { task_id, edits } };
  const seen = [];
  for await (const message of client.experimental.tasks.callToolStream(call, undefined, { timeout: 5000 })) {
    seen.push(message);
  }
  await client.close();
  const { type, result } = seen.at(-1);
  assert.deepEqual([seen[0].type, type], ['taskCreated', 'result'], JSON.stringify(seen.at(-1)));
  assert.deepEqual([result.isError, result.structuredContent.passed], [undefined, false]);
}

// Runs of 90 s go on while the rest is checked, so that they cost their 90 s once.
const long = Promise.all([
  check('2025-11-25: a 90 s verifier through the 1.x SDK, 5 s time-outs', () => sdkStream(90)),
  check(`${MODERN}: a 90 s verifier behind 5 s time-outs`, () => tasksSession(MODERN, 90)),
]);
for (const revision of [...LEGACY, MODERN]) {
  await check(`${revision}: every reply line matches the revision's schema`, () => session(revision));
}
for (const revision of ['2025-11-25', MODERN]) {
  const name = `${revision}: a background run's replies match its design's schema`;
  await check(name, () => tasksSession(revision, 2));
}
await long;
finish();
