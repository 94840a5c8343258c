// What only a real client proves, through an official MCP client SDK: a whole session with a
// server confined by --root while the client runs elsewhere, progress reports keeping a slow call
// alive, and the cancellation the SDK sends for a call it stopped waiting for. The client is the
// 1.x SDK, or the 2.x one in one of its version-negotiation modes; each must reach the revision
// it prefers.
// Usage: node session.test.mjs /abs/path/to/quarry_agent_task [sdk1|legacy|auto|pin]
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { check, finish } from './harness.mjs';


// A successful tool result: one text block holding a JSON text, the same value as its
// structuredContent, with no isError member.
function toolJson(result) {
  assert.ok(result.isError === undefined && result.content.length === 1, JSON.stringify(result));
  const value = JSON.parse(result.content[0].text);
  assert.deepEqual(result.structuredContent, value);
  return value;
}

// The client of each mode, connected through `params`, and the revision it negotiated.
async function connect(mode, params) {
  const info = { name: 'quarry-mcp-client-test', version: '1.0.0' };
  if (mode === 'sdk1') {
    const { Client } = await import('@modelcontextprotocol/sdk/client/index.js');
    const { StdioClientTransport } = await import('@modelcontextprotocol/sdk/client/stdio.js');
    const sdk1 = new Client(info);
    const transport = new StdioClientTransport(params);
    // This SDK hands the negotiated version only to its transport.
    let negotiated;
    transport.setProtocolVersion = (version) => (negotiated = version);
    await sdk1.connect(transport);
    const callTool = (name, args, options) => sdk1.callTool({ name, arguments: args }, undefined, options);
    return { client: sdk1, callTool, negotiated };
  }
  const { Client } = await import('@modelcontextprotocol/client');
  const { StdioClientTransport } = await import('@modelcontextprotocol/client/stdio');
  const negotiation = { legacy: 'legacy', auto: 'auto', pin: { pin: '2026-07-28' } }[mode];
  const sdk2 = new Client(info, { versionNegotiation: { mode: negotiation } });
  await sdk2.connect(new StdioClientTransport(params));
  const callTool = (name, args, options) => sdk2.callTool({ name, arguments: args }, options);
  return { client: sdk2, callTool, negotiated: sdk2.getNegotiatedProtocolVersion() };
}

const server = path.resolve(process.argv[2] ?? '');
const mode = process.argv[3] ?? 'sdk1';
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'quarry-mcp-client-'));
const inRoot = (name) => path.join(root, name);
// CRLF, multi-byte UTF-8, a tab and no final newline: a restore must bring back every byte.
const original = Buffer.from('line one\r\n\u00fcn\u00efc\u00f8d\u00e9 \u2713\n\tno final newline');
fs.writeFileSync(inRoot('notes.txt'), original);

let client, call;


await check(`${mode}: the revision, the tools, and a task: rolled back, kept, its history, restored`, async () => {
  // Started in / as several desktop clients do; --root is what makes the paths mean the project.
  const session = await connect(mode, { command: server, args: ['--root', root], cwd: '/' });
  ({ client, callTool: call } = session);
  assert.equal(session.negotiated, mode === 'sdk1' || mode === 'legacy' ? '2025-11-25' : '2026-07-28');
  const names = (await client.listTools()).tools.map((tool) => tool.name);
  assert.deepEqual(names, ['task_start', 'task_propose', 'task_history', 'task_finish']);
  const { task_id: taskId } = toolJson(
    await call('task_start', {
      goal: 'mark the notes ok',
      verify_cmd: "cat notes.txt; grep -qx 'status: ok' notes.txt",
      // Agents often send absolute paths: one inside the root is accepted.
      files: [inRoot('notes.txt'), 'gen/new.txt'],
    }),
  );
  // The passing attempt edits the notes in place: only its last line changes.
  const propose = async (notes) =>
    toolJson(
      await call('task_propose', {
        task_id: taskId,
        edits: [
          { path: inRoot('notes.txt'), ...notes },
          { path: 'gen/new.txt', content: 'made\n' },
        ],
      }),
    );
  const failing = await propose({ content: 'status: broken\n' });
  assert.deepEqual([failing.attempt, failing.passed, failing.output], [1, false, 'status: broken\n']);
  assert.ok(fs.readFileSync(inRoot('notes.txt')).equals(original), 'not rolled back');
  assert.ok(!fs.existsSync(inRoot('gen/new.txt')), 'new file left behind');
  const passing = await propose({ old_text: '\tno final newline', new_text: 'status: ok' });
  assert.deepEqual([passing.attempt, passing.passed], [2, true]);
  assert.equal(fs.readFileSync(inRoot('gen/new.txt'), 'utf8'), 'made\n');
  const { attempts } = toolJson(await call('task_history', { task_id: taskId }));
  // A history record is the proposal's result without what only a proposal reports.
  const record = ({ attempt, fingerprint, output, passed }) => ({ attempt, fingerprint, output, passed });
  assert.deepEqual(attempts, [record(failing), record(passing)]);
  assert.deepEqual(toolJson(await call('task_finish', { task_id: taskId, commit: false })), {
    committed: false,
  });
  assert.ok(fs.readFileSync(inRoot('notes.txt')).equals(original), 'not restored');
  assert.ok(!fs.existsSync(inRoot('gen/new.txt')), 'new file not deleted');
});

await check(`${mode}: progress reports keep a slow call alive past its time-out`, async () => {
  const { task_id: taskId } = toolJson(
    await call('task_start', { goal: 'wait', verify_cmd: 'sleep 7', files: ['slow.txt'] }),
  );
  const reports = [];
  const outcome = toolJson(
    await call(
      'task_propose',
      { task_id: taskId, edits: [{ path: 'slow.txt', content: 'slow\n' }] },
      { timeout: 3000, resetTimeoutOnProgress: true, onprogress: (p) => reports.push(p) },
    ),
  );
  assert.equal(outcome.passed, true);
  assert.ok(reports.length >= 2, `only ${reports.length} progress reports`);
  assert.ok(reports.every((r, i) => i === 0 || r.progress > reports[i - 1].progress), 'not rising');
});

// The SDK cancels a call that times out: the verifier must stop and the edits go back at once,
// not when the verifier would have ended, and the call leaves no attempt behind.
await check(`${mode}: a timed-out call is cancelled: rolled back, verifier gone, no attempt`, async () => {
  const before = Buffer.from('before the cancelled call\n');
  fs.writeFileSync(inRoot('hang.txt'), before);
  const { task_id: taskId } = toolJson(
    await call('task_start', {
      goal: 'hang',
      verify_cmd: 'echo $$ > verifier.pid; exec sleep 30',
      files: ['hang.txt'],
    }),
  );
  const edits = [{ path: 'hang.txt', content: 'unverified\n' }];
  await assert.rejects(call('task_propose', { task_id: taskId, edits }, { timeout: 2000 }), (e) => {
    // The 1.x SDK's McpError and the 2.x SDK's SdkError name a time-out each in its own way.
    assert.ok(e.code === -32001 || e.code === 'REQUEST_TIMEOUT', `${e}`);
    return true;
  });
  const cancelled = Date.now();
  const verifierGroup = -Number(fs.readFileSync(inRoot('verifier.pid'), 'utf8'));
  const groupGone = () => {
    try {
      return !process.kill(verifierGroup, 0);
    } catch {
      return true;
    }
  };
  while (!(fs.readFileSync(inRoot('hang.txt')).equals(before) && groupGone())) {
    assert.ok(Date.now() - cancelled < 1000, 'not rolled back within a second of cancelling');
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  const asked = Date.now();
  assert.deepEqual(toolJson(await call('task_history', { task_id: taskId })), { attempts: [] });
  assert.ok(Date.now() - asked < 1000, 'the next call waited for the cancelled one');
});

await client?.close();
fs.rmSync(root, { recursive: true, force: true });
finish();
